# The driver setup on a hosted Windows runner, with the vendor's VB-CABLE pack already in the
# bundle's drivers\vbcable:
#   1. the first run installs the cable: exit code 0 or 3010, standard error at most the
#      TAMSEL_AUDIO line and no status line, and afterwards exactly one VB-CABLE device;
#   2. the audio services are restarted and the cable's endpoints ("CABLE Input", the render
#      endpoint, and "CABLE Output", the capture endpoint) awaited by name, for at most
#      $EndpointSeconds;
#   3. the second run finds the device and exits 0 without installing: still one device.
# Any other outcome fails with the setup program's own status line. Every run's exit code and
# standard error go to $Logs.
param(
    [Parameter(Mandatory = $true)][string]$Bundle,
    [Parameter(Mandatory = $true)][string]$Logs,
    [int]$EndpointSeconds = 120
)
$ErrorActionPreference = 'Stop'
New-Item -ItemType Directory -Force -Path $Logs | Out-Null
$setup = Join-Path $Bundle 'tamsel_driver_setup.exe'
$hardwareId = 'VBAudioVACWDM'

# Messages go to the host, never into a function's output (which its caller takes as the value).
function Fail([string]$message) {
    Write-Host "::error::$message"
    exit 1
}

# Runs the setup program with standard error on a pipe (it is windowless: Start-Process alone
# would not wait for it); returns its exit code and standard error.
function Invoke-Setup([string]$name) {
    $info = New-Object System.Diagnostics.ProcessStartInfo
    $info.FileName = $setup
    $info.UseShellExecute = $false
    $info.RedirectStandardError = $true
    $info.StandardErrorEncoding = [System.Text.Encoding]::UTF8
    $process = [System.Diagnostics.Process]::Start($info)
    $stderr = $process.StandardError.ReadToEnd()
    $process.WaitForExit()
    $run = [pscustomobject]@{ Name = $name; ExitCode = $process.ExitCode; Stderr = $stderr }
    "exit code: $($run.ExitCode)`n$stderr" | Set-Content -Encoding UTF8 -Path (Join-Path $Logs "$name.txt")
    Write-Host "${name}: exit code $($run.ExitCode)"
    if ($stderr) { Write-Host $stderr }
    return $run
}

# A successful run writes at most the audio start line; a failed one ends with its status line,
# everything after "TAMSEL_DRIVER_SETUP " up to the final line feed.
function Assert-Success($run, [int[]]$codes) {
    $at = $run.Stderr.IndexOf('TAMSEL_DRIVER_SETUP ')
    if ($at -ge 0) {
        $status = $run.Stderr.Substring($at + 'TAMSEL_DRIVER_SETUP '.Length).TrimEnd("`n")
        Fail "$($run.Name): exit code $($run.ExitCode), TAMSEL_DRIVER_SETUP $status"
    }
    if ($codes -notcontains $run.ExitCode) {
        Fail "$($run.Name): exit code $($run.ExitCode) without a status line (expected $($codes -join ' or '))"
    }
    foreach ($line in ($run.Stderr -split "`n" | Where-Object { $_ -ne '' })) {
        if ($line -notmatch '^TAMSEL_AUDIO backend=(wasapi|winmm) binding=0\.38\.0$') {
            Fail "$($run.Name): unexpected line on standard error: $line"
        }
    }
}

function Get-CableDevices {
    @(Get-PnpDevice -ErrorAction SilentlyContinue | Where-Object { $_.HardwareID -contains $hardwareId })
}

function Get-CableEndpoints {
    @(Get-PnpDevice -Class AudioEndpoint -PresentOnly -ErrorAction SilentlyContinue |
        Where-Object { $_.Status -eq 'OK' -and ($_.FriendlyName -like 'CABLE Input*' -or $_.FriendlyName -like 'CABLE Output*') })
}

# Windows Server images ship the audio services disabled or stopped.
foreach ($service in 'AudioEndpointBuilder', 'Audiosrv') {
    Set-Service -Name $service -StartupType Automatic
    Start-Service -Name $service
}
Get-Service AudioEndpointBuilder, Audiosrv | Format-Table -AutoSize | Out-String | Write-Output

$before = Get-CableDevices
if ($before.Count -ne 0) { Fail "a VB-CABLE device exists before the first run: $($before.InstanceId -join ', ')" }

$first = Invoke-Setup 'setup-run1'
Assert-Success $first @(0, 3010)
$devices = Get-CableDevices
$devices | Format-List FriendlyName, InstanceId, Status, Problem | Out-String | Write-Output
if ($devices.Count -ne 1) { Fail "after the first run: $($devices.Count) VB-CABLE devices, expected 1" }
if ($first.ExitCode -eq 3010) { Write-Output '::warning::the first run asked for a restart (3010); the job goes on without one' }

Restart-Service -Name AudioEndpointBuilder -Force
Start-Service -Name Audiosrv
$deadline = (Get-Date).AddSeconds($EndpointSeconds)
do {
    $endpoints = Get-CableEndpoints
    $names = @($endpoints | ForEach-Object { $_.FriendlyName })
    $ready = ($names | Where-Object { $_ -like 'CABLE Input*' }) -and ($names | Where-Object { $_ -like 'CABLE Output*' })
    if (-not $ready) { Start-Sleep -Milliseconds 500 }
} until ($ready -or (Get-Date) -gt $deadline)
Get-PnpDevice -Class AudioEndpoint -ErrorAction SilentlyContinue | Format-Table -AutoSize FriendlyName, Status, InstanceId |
    Out-String -Width 300 | Tee-Object -FilePath (Join-Path $Logs 'endpoints.txt') | Write-Output
if (-not $ready) { Fail "the cable's endpoints did not appear within $EndpointSeconds s (found: $($names -join ', '))" }

$second = Invoke-Setup 'setup-run2'
Assert-Success $second @(0)
$after = Get-CableDevices
if ($after.Count -ne 1) { Fail "after the second run: $($after.Count) VB-CABLE devices, expected the one the first run installed" }
Write-Output 'driver setup: installed, endpoints present, second run found the device'
