; Quillbarrow's Windows installer, quillbarrow-<version>-x64-setup.exe.
; ./quillbarrow.sh windows builds it from the deployed program folder:
;
;   makensis -DVERSION=1.0.0 -DSOURCE=<program folder> -DICON=<quillbarrow.ico>
;            -DOUTFILE=<setup.exe> [-DLICENSE=<text file>] quillbarrow.nsi
;
; NSIS rather than an MSI (wixl/msitools): one setup.exe installs per user
; without administrator rights and still offers an install for all users,
; takes /S for silent runs, and makensis comes with Debian and runs on Linux.
;
; setup.exe   /S silent; /D=<folder> the folder (last on the line, no quotes);
;             /AllUsers: for everyone, in Program Files (needs an elevated
;             run; a silent one that is not elevated ends with 740, as
;             Windows's "elevation required"); /CurrentUser (the default);
;             /NoPath: the folder is not put on PATH.
; uninstall.exe  /S silent; /RemoveSettings: the settings and the cache go
;             too. Like every NSIS uninstaller it runs from a copy in %TEMP%
;             and returns at once; a script that must wait for it runs
;             uninstall.exe /S _?=<install folder> (and it still removes
;             itself and its folder once it has ended).
;
; The mode is a choice of our own, not MultiUser.nsh: that one either asks
; for elevation at the start (even for a per-user install, for every
; administrator) or cannot offer all users to anyone else. Here setup.exe
; always starts with the user's own rights and starts itself again elevated
; only when all users are chosen.

!ifndef VERSION | SOURCE | ICON | OUTFILE
  !error "makensis -DVERSION=... -DSOURCE=... -DICON=... -DOUTFILE=... quillbarrow.nsi"
!endif

Unicode true
; The program is 64-bit only: so is its installer, which therefore sees the
; 64-bit registry and Program Files without redirection.
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma
Name "Quillbarrow"
Caption "Quillbarrow ${VERSION} Setup"
OutFile "${OUTFILE}"
BrandingText "Quillbarrow ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quillbarrow"
VIAddVersionKey "CompanyName" "Kestrawin"
VIAddVersionKey "FileDescription" "Quillbarrow Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright 2026 Kestrawin"

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbarrow"
!define SETTINGS_KEY "Software\Kestrawin\Quillbarrow"
!define SYSTEM_ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include WinMessages.nsh

; The file lists, made from the program folder now.
!tempfile FILES_INSTALL
!tempfile FILES_UNINSTALL
!system 'python3 "${__FILEDIR__}/installer_files.py" "${SOURCE}" "${FILES_INSTALL}" "${FILES_UNINSTALL}"' = 0

Var Mode              ; "user" or "all"
Var ModeGiven         ; 1 when the command line chose it
Var DirGiven          ; 1 when /D= chose the folder
Var IsAdmin
Var RadioAll
Var PathText          ; PATH as read, and as it is to be written
Var PathType          ; its registry type: 1 REG_SZ, 2 REG_EXPAND_SZ
Var InPlace           ; the uninstaller runs from the install folder (_?=)

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!ifdef LICENSE
  !insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!endif
Page custom ModePage ModePageLeave
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Run Quillbarrow"
!define MUI_FINISHPAGE_RUN_FUNCTION RunProgram
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ------------------------------------------------------------ both halves

!macro IsAdmin UN
Function ${UN}IsAdmin
  StrCpy $IsAdmin 0
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    StrCpy $IsAdmin 1
  ${EndIf}
FunctionEnd
!macroend
!insertmacro IsAdmin ""
!insertmacro IsAdmin "un."

; Reads the PATH of this mode (HKCU\Environment, or the system's for all
; users) into $PathText and $PathType. $0 is "ok", "none" (no PATH yet) or
; "long": longer than an NSIS string can hold with our folder added, so it
; must not be touched (reading it would cut it, writing it back lose the rest).
!macro ReadPath UN
Function ${UN}ReadPath
  ; RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND: type and size only.
  ${If} $Mode == "all"
    System::Call 'advapi32::RegGetValueW(p -2147483646, w "${SYSTEM_ENVIRONMENT}", w "Path", i 0x10000006, *i .r1, p 0, *i 0 .r2) i .r3'
  ${Else}
    System::Call 'advapi32::RegGetValueW(p -2147483647, w "Environment", w "Path", i 0x10000006, *i .r1, p 0, *i 0 .r2) i .r3'
  ${EndIf}
  StrCpy $PathText ""
  StrCpy $PathType 2
  ${If} $3 = 2
    StrCpy $0 "none"
    Return
  ${EndIf}
  StrLen $4 $INSTDIR
  IntOp $2 $2 / 2
  IntOp $2 $2 + $4
  IntOp $2 $2 + 2
  ${If} $3 <> 0
  ${OrIf} $2 >= ${NSIS_MAX_STRLEN}
    StrCpy $0 "long"
    Return
  ${EndIf}
  ${If} $1 = 1
    StrCpy $PathType 1
  ${EndIf}
  ClearErrors
  ${If} $Mode == "all"
    ReadRegStr $PathText HKLM "${SYSTEM_ENVIRONMENT}" "Path"
  ${Else}
    ReadRegStr $PathText HKCU "Environment" "Path"
  ${EndIf}
  StrCpy $0 "ok"
  ${If} ${Errors}
    StrCpy $0 "long"
  ${EndIf}
FunctionEnd

; Writes $PathText back with the type it was found with, and tells running
; programs (Explorer among them) that the environment has changed.
Function ${UN}WritePath
  ${If} $Mode == "all"
    ${If} $PathType = 1
      WriteRegStr HKLM "${SYSTEM_ENVIRONMENT}" "Path" $PathText
    ${Else}
      WriteRegExpandStr HKLM "${SYSTEM_ENVIRONMENT}" "Path" $PathText
    ${EndIf}
  ${ElseIf} $PathText == ""
    ; The user had no PATH of their own before ours.
    DeleteRegValue HKCU "Environment" "Path"
  ${Else}
    ${If} $PathType = 1
      WriteRegStr HKCU "Environment" "Path" $PathText
    ${Else}
      WriteRegExpandStr HKCU "Environment" "Path" $PathText
    ${EndIf}
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
FunctionEnd

; Takes the first entry of $PathText that names the folder $5 (any case,
; with or without a closing backslash) out of it; $0 is 1 when one was found.
; Every other entry, empty ones too, stays as it was.
Function ${UN}TakePathEntry
  StrCpy $0 0
  StrCpy $6 ""     ; what is kept so far
  StrCpy $7 0      ; where the current entry starts
  StrCpy $8 0      ; the character looked at
  StrCpy $R0 0     ; 1 once something is kept
  StrLen $9 $PathText
  ${Do}
    StrCpy $1 $PathText 1 $8
    ${If} $1 == ";"
    ${OrIf} $8 >= $9
      IntOp $2 $8 - $7
      StrCpy $3 $PathText $2 $7
      StrCpy $4 0
      ${If} $3 == $5
      ${OrIf} $3 == "$5\"
        StrCpy $4 1
      ${EndIf}
      ${If} $0 = 0
      ${AndIf} $4 = 1
        StrCpy $0 1
      ${Else}
        ${If} $R0 = 1
          StrCpy $6 "$6;"
        ${EndIf}
        StrCpy $6 "$6$3"
        StrCpy $R0 1
      ${EndIf}
      IntOp $7 $8 + 1
    ${EndIf}
    IntOp $8 $8 + 1
  ${LoopUntil} $8 > $9
  StrCpy $PathText $6
FunctionEnd
!macroend
!insertmacro ReadPath ""
!insertmacro ReadPath "un."

; Waits while the program or its console companion runs from the install
; folder: Windows keeps a running program's files, and replacing or removing
; only some of them would leave a broken program behind. Windows refuses to
; open a running program's file for writing; that is the test. Asks to close
; it and retry; a cancel, and any silent run, ends here with exit code 32
; (ERROR_SHARING_VIOLATION) and nothing changed.
!macro WaitWhileRunning UN
Function ${UN}InUse
  ${If} ${FileExists} "$INSTDIR\$0"
    ClearErrors
    FileOpen $2 "$INSTDIR\$0" a
    ${If} ${Errors}
      StrCpy $1 $0
    ${Else}
      FileClose $2
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ${UN}WaitWhileRunning
  ${Do}
    StrCpy $1 ""
    StrCpy $0 "quillbarrow.exe"
    Call ${UN}InUse
    StrCpy $0 "quillbarrow.com"
    Call ${UN}InUse
    ${If} $1 == ""
      Return
    ${EndIf}
    DetailPrint "$INSTDIR\$1 is running."
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Quillbarrow is running ($INSTDIR\$1). Close it, then choose Retry." /SD IDCANCEL IDRETRY again
    SetErrorLevel 32
    Quit
    again:
  ${Loop}
FunctionEnd
!macroend
!insertmacro WaitWhileRunning ""
!insertmacro WaitWhileRunning "un."

; ------------------------------------------------------------ the installer

Function UseContext
  ${If} $Mode == "all"
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

; The shell folders and registry root of the mode, and its default folder.
Function UseMode
  Call UseContext
  ${If} $Mode == "all"
    ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
    StrCpy $1 "$PROGRAMFILES64\Quillbarrow"
  ${Else}
    ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
    StrCpy $1 "$LOCALAPPDATA\Programs\Quillbarrow"
  ${EndIf}
  ${If} $DirGiven != 1
    ; An update goes where the program is already.
    ${If} $0 != ""
      StrCpy $1 $0
    ${EndIf}
    StrCpy $INSTDIR $1
  ${EndIf}
FunctionEnd

; "Run Quillbarrow" on the last page. After an install for all users this
; setup runs elevated, and so would the program: a program with more rights
; than Explorer gets no drops from it. Explorer starts it with the user's own.
Function RunProgram
  ${If} $Mode == "all"
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\quillbarrow.exe"'
  ${Else}
    Exec '"$INSTDIR\quillbarrow.exe"'
  ${EndIf}
FunctionEnd

; Starts this setup again with administrator rights (Windows asks), with
; $0 as its command line; this one ends when that could be started.
Function RunElevated
  ClearErrors
  ExecShell "runas" '"$EXEPATH"' $0
  ${IfNot} ${Errors}
    Quit
  ${EndIf}
  MessageBox MB_ICONEXCLAMATION "Quillbarrow could not be installed for all users: Windows did not give this setup administrator rights."
FunctionEnd


Function ModePage
  ${If} $ModeGiven = 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Who is Quillbarrow for?" "Install it for you alone, or for everyone who uses this computer."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 10u 100% 14u "&Just for me (no administrator rights needed)"
  Pop $1
  ${NSD_CreateRadioButton} 0 34u 100% 14u "For &everyone who uses this computer (needs administrator rights)"
  Pop $RadioAll
  ${If} $Mode == "all"
    ${NSD_Check} $RadioAll
  ${Else}
    ${NSD_Check} $1
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $RadioAll $0
  ${If} $0 = ${BST_CHECKED}
    ${If} $IsAdmin != 1
      StrCpy $0 "/AllUsers"
      Call RunElevated
      Abort
    ${EndIf}
    StrCpy $Mode "all"
  ${Else}
    StrCpy $Mode "user"
  ${EndIf}
  Call UseMode
FunctionEnd

Section "Quillbarrow" SecProgram
  SectionIn RO
  Call WaitWhileRunning
  !include /CHARSET=UTF8 "${FILES_INSTALL}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\Quillbarrow.lnk" "$INSTDIR\quillbarrow.exe" "" "$INSTDIR\quillbarrow.exe" 0
  ; Windows has no "Send to" for all users: the installing user's own.
  SetShellVarContext current
  CreateShortCut "$SENDTO\Quillbarrow.lnk" "$INSTDIR\quillbarrow.exe" "" "$INSTDIR\quillbarrow.exe" 0
  StrCpy $1 "$SENDTO\Quillbarrow.lnk"
  Call UseContext
  WriteRegStr SHCTX "${UNINST_KEY}" "SendToShortcut" $1
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "Quillbarrow"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "Kestrawin"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\quillbarrow.exe,0"
  WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section "Add to PATH" SecPath
  Call ReadPath
  ${If} $0 == "long"
    DetailPrint "PATH is too long for this setup to change safely and is left as it was: add $INSTDIR to it yourself to type quillbarrow in a command prompt."
    Return
  ${EndIf}
  StrCpy $R1 $PathText
  StrCpy $5 $INSTDIR
  Call TakePathEntry
  ${If} $0 = 1
    DetailPrint "PATH already holds $INSTDIR"
    Return
  ${EndIf}
  StrCpy $PathText $R1
  ${If} $PathText == ""
    StrCpy $PathText $INSTDIR
  ${Else}
    StrCpy $1 $PathText 1 -1
    ${If} $1 == ";"
      StrCpy $PathText "$PathText$INSTDIR"
    ${Else}
      StrCpy $PathText "$PathText;$INSTDIR"
    ${EndIf}
  ${EndIf}
  Call WritePath
  ; The uninstaller takes out this entry, and only this one.
  WriteRegStr SHCTX "${UNINST_KEY}" "PathEntry" $INSTDIR
  DetailPrint "Added $INSTDIR to PATH"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The program, its console companion and the sample folders, with a Start menu and a Send to shortcut."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} "Puts the program's folder on PATH, so that typing quillbarrow in a command prompt zips folders from there."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; ------------------------------------------------------------ the uninstaller


Section "un.Quillbarrow" UnSecProgram
  SectionIn RO
  Call un.WaitWhileRunning
  ReadRegStr $R2 SHCTX "${UNINST_KEY}" "PathEntry"
  ${If} $R2 != ""
    Call un.ReadPath
    ${If} $0 == "ok"
      StrCpy $5 $R2
      Call un.TakePathEntry
      ${If} $0 = 1
        Call un.WritePath
        DetailPrint "Took $R2 out of PATH"
      ${EndIf}
    ${ElseIf} $0 == "long"
      DetailPrint "PATH is too long for this uninstaller to change safely and is left as it was: take $R2 out of it yourself."
    ${EndIf}
  ${EndIf}
  Delete "$SMPROGRAMS\Quillbarrow.lnk"
  ReadRegStr $0 SHCTX "${UNINST_KEY}" "SendToShortcut"
  StrCpy $1 $0 "" -16
  ${If} $1 == "\Quillbarrow.lnk"
    Delete $0
  ${EndIf}
  DeleteRegKey SHCTX "${UNINST_KEY}"
  !include /CHARSET=UTF8 "${FILES_UNINSTALL}"
  ${If} $InPlace = 1
    ; A running program cannot remove its own file: a copy of this
    ; uninstaller does, once this one has ended.
    System::Call 'kernel32::GetCurrentProcessId() i .r0'
    Exec '"$INSTDIR\uninstall.exe" /S /CleanupAfter=$0'
  ${Else}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
  ${EndIf}
SectionEnd

Section /o "un.Remove settings" UnSecSettings
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Kestrawin"
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\Quillbarrow\reuse"
  RMDir "$LOCALAPPDATA\Quillbarrow"
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecProgram} "The program's files, its shortcuts, its PATH entry and its uninstall entry."
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecSettings} "The settings (HKCU\${SETTINGS_KEY}) and the cache (%LOCALAPPDATA%\Quillbarrow). Kept unless ticked."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

; ------------------------------------------------------------ starting
; (last: they name the sections)

Function .onInit
  StrCpy $DirGiven 0
  ${If} $INSTDIR != ""
    StrCpy $DirGiven 1
  ${EndIf}
  Call IsAdmin
  StrCpy $Mode "user"
  StrCpy $ModeGiven 0
  ${GetParameters} $R9
  ClearErrors
  ${GetOptions} $R9 "/AllUsers" $0
  ${IfNot} ${Errors}
    StrCpy $Mode "all"
    StrCpy $ModeGiven 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R9 "/CurrentUser" $0
  ${IfNot} ${Errors}
    StrCpy $Mode "user"
    StrCpy $ModeGiven 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R9 "/NoPath" $0
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecPath}
  ${EndIf}
  ${If} $Mode == "all"
  ${AndIf} $IsAdmin != 1
    ${If} ${Silent}
      SetErrorLevel 740
      Quit
    ${EndIf}
    StrCpy $0 $R9
    Call RunElevated
    StrCpy $Mode "user"
    StrCpy $ModeGiven 0
  ${EndIf}
  Call UseMode
FunctionEnd

Function un.onInit
  ${GetParameters} $R9
  ; The second half of an uninstall that ran from the install folder
  ; (_?=): once that one has ended, its own file and the folder go.
  ClearErrors
  ${GetOptions} $R9 "/CleanupAfter=" $0
  ${IfNot} ${Errors}
    System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i r0) p .r1'
    ${If} $1 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r1, i 60000)'
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Quit
  ${EndIf}
  ; Which install this is: the one whose entry names this folder.
  StrCpy $Mode "user"
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $Mode "all"
    SetShellVarContext all
    Call un.IsAdmin
    ${If} $IsAdmin != 1
      ${If} ${Silent}
        SetErrorLevel 740
        Quit
      ${EndIf}
      ClearErrors
      ExecShell "runas" '"$EXEPATH"' "$R9 _?=$INSTDIR"
      ${IfNot} ${Errors}
        Quit
      ${EndIf}
      MessageBox MB_ICONEXCLAMATION "Quillbarrow is installed for all users: removing it needs administrator rights, which Windows did not give."
      Quit
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R9 "/RemoveSettings" $0
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecSettings}
  ${EndIf}
  StrCpy $InPlace 0
  ${If} $EXEDIR == $INSTDIR
    StrCpy $InPlace 1
  ${EndIf}
FunctionEnd
