; The same chain written as an NSIS script, as a release engineer might write
; it instead of setup.exe: silent, administrator rights, msiexec from the
; system directory, the two marker files, the licence manager (after the
; scripting engine) unless listed among the installed programs, the driver.
; makensis -DOUTFILE=... -DVERSION=1.2.3.4 [-DAMD64] -DMAIN_PACKAGE=... peer.nsi
; (VERSION: setup.exe's; the medium's names as bench/run.sh reads them from
; medium/names.sh: MAIN_PACKAGE, SCRIPTING_ENGINE, LM_PREFIX, DRIVER,
; LICENCE_MARKER, DRIVER_MARKER, PRODUCT_FOLDER)
Unicode true
!ifdef AMD64
Target amd64-unicode
!endif
Name "Nerim setup (NSIS peer)"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SilentInstall silent
SetCompressor /SOLID lzma

!define MARKERS "${PRODUCT_FOLDER}\${VERSION}"
!define UNINSTALL "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"

Var exitCode
Var licenceChosen
Var driverChosen
Var package
Var version
Var installed

Section
  ExecWait '"$SYSDIR\msiexec.exe" /package "$EXEDIR\${MAIN_PACKAGE}"' $exitCode
  StrCpy $licenceChosen 0
  StrCpy $driverChosen 0
  ; The system drive, as setup.exe takes it ($PROGRAMFILES32 is not reliable
  ; in a 64-bit installer).
  StrCpy $0 $WINDIR 2
  IfFileExists "$0\Program Files (x86)\${MARKERS}\${LICENCE_MARKER}" 0 +2
    StrCpy $licenceChosen 1
  IfFileExists "$0\Program Files\${MARKERS}\${LICENCE_MARKER}" 0 +2
    StrCpy $licenceChosen 1
  IfFileExists "$0\Program Files (x86)\${MARKERS}\${DRIVER_MARKER}" 0 +2
    StrCpy $driverChosen 1
  IfFileExists "$0\Program Files\${MARKERS}\${DRIVER_MARKER}" 0 +2
    StrCpy $driverChosen 1
  StrCmp $exitCode 0 0 done
  StrCmp $licenceChosen 1 0 +2
    Call InstallLicenseManager
  StrCmp $driverChosen 1 0 done
  IfFileExists "$EXEDIR\${DRIVER}" 0 done
    ExecWait '"$EXEDIR\${DRIVER}"'
  done:
SectionEnd

Function InstallLicenseManager
  FindFirst $0 $package "$EXEDIR\${LM_PREFIX}*.msi"
  FindClose $0
  StrCmp $package "" end
  ; The version: after the prefix, up to the first ".msi".
  StrLen $R3 "${LM_PREFIX}"
  StrCpy $version $package "" $R3
  StrCpy $R0 $version
  StrCpy $R1 ".msi"
  Call Find
  IntCmp $R2 0 0 +2
    StrCpy $version $version $R2
  Call IsInstalled
  StrCmp $installed 1 end
  IfFileExists "$EXEDIR\${SCRIPTING_ENGINE}" 0 +2
    ExecWait '"$SYSDIR\msiexec.exe" /i "$EXEDIR\${SCRIPTING_ENGINE}" /passive'
  ExecWait '"$SYSDIR\msiexec.exe" /i "$EXEDIR\$package" /passive'
  end:
FunctionEnd

; $installed = 1 when a DisplayName in the 32-bit view holds "Sentinel",
; "License Manager" and $version.
Function IsInstalled
  SetRegView 32
  StrCpy $installed 0
  StrCpy $4 0
  next:
    EnumRegKey $5 HKLM "${UNINSTALL}" $4
    StrCmp $5 "" end
    IntOp $4 $4 + 1
    ReadRegStr $R0 HKLM "${UNINSTALL}\$5" "DisplayName"
    StrCpy $R1 "Sentinel"
    Call Find
    IntCmp $R2 0 0 next
    StrCpy $R1 "License Manager"
    Call Find
    IntCmp $R2 0 0 next
    StrCpy $R1 $version
    Call Find
    IntCmp $R2 0 0 next
    StrCpy $installed 1
  end:
FunctionEnd

; $R2 = position of $R1 in $R0 (case-sensitive), or -1.
Function Find
  StrLen $R3 $R1
  StrCpy $R2 0
  loop:
    StrCpy $R4 $R0 $R3 $R2
    StrCmpS $R4 $R1 found
    StrCmp $R4 "" missing
    IntOp $R2 $R2 + 1
    Goto loop
  missing:
    StrCpy $R2 -1
  found:
FunctionEnd
