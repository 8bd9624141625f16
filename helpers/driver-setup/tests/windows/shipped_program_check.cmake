# What the shipped setup program's installation lock and staging folder are made of, read from
# the program itself, for what Wine cannot show (it has no private namespaces, keeps no security
# descriptors for files and has no separation of rights between processes): the program imports
# the private-namespace calls with the Administrators boundary and the integrity label, names the
# namespace's mutex, carries the SYSTEM-and-Administrators DACLs of the lock and of the staging
# folder, and carries neither a name in the Global namespace, which any user-level process could
# create or hold, nor the stand-in lock of the test builds.
#   cmake -DPROGRAM=tamsel_driver_setup.exe -P shipped_program_check.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "no program at '${PROGRAM}'")
endif()
file(READ "${PROGRAM}" image HEX)

# The hexadecimal digits of `text` as the program stores it: ASCII (import names) or UTF-16LE.
function(encoded text wide out)
  string(HEX "${text}" hex)
  if(wide)
    string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  endif()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# Whether the bytes of `text` occur in the program (at a byte boundary).
function(contains text wide out)
  encoded("${text}" ${wide} needle)
  set(rest "${image}")
  set(found FALSE)
  while(TRUE)
    string(FIND "${rest}" "${needle}" at)
    if(at EQUAL -1)
      break()
    endif()
    math(EXPR odd "${at} % 2")
    if(odd EQUAL 0)
      set(found TRUE)
      break()
    endif()
    math(EXPR next "${at} + 1")
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

set(problems "")
foreach(call CreateBoundaryDescriptorW AddSIDToBoundaryDescriptor AddIntegrityLabelToBoundaryDescriptor
             CreatePrivateNamespaceW OpenPrivateNamespaceW CreateWellKnownSid)
  contains("${call}" FALSE found)
  if(NOT found)
    list(APPEND problems "does not import ${call}")
  endif()
endforeach()
contains("tamsel-audio-setup\\vbcable-install" TRUE found)
if(NOT found)
  list(APPEND problems "has no mutex named tamsel-audio-setup\\vbcable-install")
endif()
contains("D:P(A;;GA;;;SY)(A;;GA;;;BA)" TRUE found)
if(NOT found)
  list(APPEND problems "has no SYSTEM-and-Administrators DACL for its lock")
endif()
contains("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" TRUE found)
if(NOT found)
  list(APPEND problems "has no protected SYSTEM-and-Administrators DACL for its staging folder")
endif()
foreach(name "Global\\" "tamsel-audio-vbcable-install" "tamsel-test-installation-lock")
  contains("${name}" TRUE found)
  if(found)
    list(APPEND problems "carries the name '${name}'")
  endif()
endforeach()

if(problems)
  list(JOIN problems "; " text)
  message(FATAL_ERROR "${PROGRAM}: ${text}")
endif()
message(STATUS "${PROGRAM}: administrators-only installation lock and staging folder")
