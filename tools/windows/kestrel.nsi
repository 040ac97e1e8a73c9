; Kestrel's installer for 64-bit Windows, made on Debian by installer.sh:
;   makensis -DVERSION=0.0.2.44 -DSTAGE=<folder stage.sh filled> -DRESOURCES=<resources/>
;            -DOUTFILE=<Kestrel-0.0.2.44-setup.exe> kestrel.nsi
;
; Per machine into Program Files (it asks for elevation, as Kestrel does);
; Start-menu entries that start Kestrel in a folder of the user's own, where
; kestrel.ini is written and kept; inbound firewall rules for the two servers
; on private networks; one entry in Add or Remove Programs, which a newer
; version takes over. What it could not do (a firewall rule) it writes to
; install.log beside the programs and goes on.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrel"
!define SETTINGS "$APPDATA\Kestrel"

Name "Kestrel"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kestrel"
InstallDirRegKey HKLM "Software\Kestrel" "InstallDir"
BrandingText "Kestrel ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Kestrel"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Kestrel ${VERSION} setup"
VIAddVersionKey "CompanyName" "Kestrel"
VIAddVersionKey "LegalCopyright" "Kestrel"

!define MUI_ICON "${RESOURCES}/kestrel.ico"
!define MUI_UNICON "${RESOURCES}/kestrel.ico"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${RESOURCES}/installer.bmp"
!define MUI_WELCOMEPAGE_TEXT "This installs Kestrel ${VERSION}, which puts Train Simulator's cab onto your network: cab displays, phones and panels read the locomotive's controls and set them.$\r$\n$\r$\nKestrel keeps its settings in your own folder $APPDATA\Kestrel, and lets other devices reach it on private networks only (TCP ports 47812 and 47813).$\r$\n$\r$\nClose Kestrel before you go on."
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A line in install.log beside the programs, and in the details pane.
!macro Log TEXT
    DetailPrint "${TEXT}"
    FileOpen $9 "$INSTDIR\install.log" a
    FileSeek $9 0 END
    FileWrite $9 "${TEXT}$\r$\n"
    FileClose $9
!macroend

; A running program cannot be opened for writing: the files could not be
; replaced or removed, and the user's settings would be written meanwhile.
!macro RefuseWhileRunning PROGRAM
    ${If} ${FileExists} "$INSTDIR\${PROGRAM}"
        ClearErrors
        FileOpen $0 "$INSTDIR\${PROGRAM}" a
        ${If} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "${PROGRAM} is running. Close it and start this again." /SD IDOK
            SetErrorLevel 3
            Quit
        ${EndIf}
        FileClose $0
    ${EndIf}
!macroend

; netsh's inbound rule for one program on private networks; a failure (no
; firewall service) is logged and passed over.
!macro FirewallRule PROGRAM
    nsExec::ExecToStack 'netsh advfirewall firewall add rule name="Kestrel (${PROGRAM})" dir=in action=allow program="$INSTDIR\${PROGRAM}" enable=yes profile=private'
    Pop $0
    Pop $1
    ${If} $0 == 0
        !insertmacro Log "Firewall: inbound rule for ${PROGRAM} on private networks added"
    ${Else}
        !insertmacro Log "Firewall: no inbound rule for ${PROGRAM} (netsh answered $0: $1); allow it when Windows asks"
    ${EndIf}
!macroend

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_OK|MB_ICONSTOP "Kestrel needs 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
    ReadRegStr $0 HKLM "Software\Kestrel" "InstallDir"
    ${If} $0 != ""
        StrCpy $INSTDIR $0
    ${EndIf}
    !insertmacro RefuseWhileRunning "Kestrel.exe"
    !insertmacro RefuseWhileRunning "kestreld.exe"
FunctionEnd

Section "Kestrel"
    SectionIn RO
    SetShellVarContext current
    ; A version already here goes first, settings kept: its files, rules and
    ; entry are this one's again below.
    ${If} ${FileExists} "$INSTDIR\Uninstall.exe"
        ExecWait '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
    ${EndIf}
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    Delete "$INSTDIR\install.log"
    !insertmacro Log "Kestrel ${VERSION} installed in $INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    ; Kestrel keeps kestrel.ini in its working directory: a folder of the
    ; user's own, writable without elevation, kept when Kestrel goes.
    CreateDirectory "${SETTINGS}"
    CreateDirectory "$SMPROGRAMS\Kestrel"
    SetOutPath "${SETTINGS}"
    CreateShortCut "$SMPROGRAMS\Kestrel\Kestrel.lnk" "$INSTDIR\Kestrel.exe" "" "$INSTDIR\Kestrel.exe" 0
    CreateShortCut "$SMPROGRAMS\Kestrel\Kestrel readme.lnk" "$INSTDIR\README.txt"
    !insertmacro Log "Settings in ${SETTINGS}"

    !insertmacro FirewallRule "Kestrel.exe"
    !insertmacro FirewallRule "kestreld.exe"

    WriteRegStr HKLM "Software\Kestrel" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kestrel"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kestrel"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Kestrel.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
    SetRegView 64
    !insertmacro RefuseWhileRunning "Kestrel.exe"
    !insertmacro RefuseWhileRunning "kestreld.exe"
FunctionEnd

Section "un.Kestrel"
    SectionIn RO
    SetShellVarContext current
    nsExec::ExecToStack 'netsh advfirewall firewall delete rule name="Kestrel (Kestrel.exe)"'
    nsExec::ExecToStack 'netsh advfirewall firewall delete rule name="Kestrel (kestreld.exe)"'
    ; What the installer put here, and nothing else: the folder may have
    ; been chosen by hand.
    Delete "$INSTDIR\*.exe"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\install.log"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    RMDir /r "$INSTDIR\simulator"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Kestrel\Kestrel.lnk"
    Delete "$SMPROGRAMS\Kestrel\Kestrel readme.lnk"
    RMDir "$SMPROGRAMS\Kestrel"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Kestrel"
SectionEnd

; Not chosen unless the user ticks it, and never in a silent uninstall.
Section /o "un.Settings (kestrel.ini)"
    SetShellVarContext current
    RMDir /r "${SETTINGS}"
SectionEnd
