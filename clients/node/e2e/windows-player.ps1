# A test player for the end-to-end runs on Windows: a visible window (so that the capture
# host's list mode lists this process) that plays the WAV file once to the default render
# device, and stays until it is ended.
param([Parameter(Mandatory = $true)][string]$Wav)
$ErrorActionPreference = 'Stop'
Add-Type -AssemblyName System.Windows.Forms
$player = New-Object System.Media.SoundPlayer $Wav
$player.Load()
$form = New-Object System.Windows.Forms.Form
$form.Text = "tamsel test player: $([System.IO.Path]::GetFileName($Wav))"
$form.Add_Shown({ $player.Play() })
[System.Windows.Forms.Application]::Run($form)
