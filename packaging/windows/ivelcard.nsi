; The Ivelcard installer for Windows desks: per machine, into Program Files.
; packaging/windows/make-packages.sh compiles it with makensis, defining
;   VERSION    the version (W.X.Y.Z, the module's version record)
;   STAGE      the directory holding the files to install (see that script)
;   OUTFILE    the installer to write
;   DISPLAYVERSION  the version people see (with the reader's suffix)
;   READER     a sentence naming the reader this build drives
;
; Silent use: setup.exe /S [/ORIGINS=https://a.example,https://b.example]
; [/BROWSERPOLICIES]; the uninstaller: uninstall.exe /S.
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "nsDialogs.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Ivelcard"
!define PUBLISHER "Ivelcard developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ivelcard"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Ivelcard Bridge"
!define BRIDGE_WINDOW_CLASS "Ivelcard.Bridge"

Name "${PRODUCT} ${DISPLAYVERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Ivelcard"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Apache License 2.0"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} setup"

Var Origins
Var BrowserPolicies
Var OriginsField

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\ivelcard-bridge.exe"
!define MUI_FINISHPAGE_RUN_TEXT "$(StartBridge)"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
Page custom OriginsPage OriginsPageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString OriginsTitle ${LANG_SIMPCHINESE} "允许的网页"
LangString OriginsTitle ${LANG_ENGLISH} "Allowed pages"
LangString OriginsText ${LANG_SIMPCHINESE} "可以读卡的网页来源（如 https://desk.example.org），多个用逗号分隔。以后可用 ivelcard allow-origin 更改。"
LangString OriginsText ${LANG_ENGLISH} "Origins of the pages that may read cards (such as https://desk.example.org), separated by commas. Change them later with ivelcard allow-origin."
LangString OriginsPolicies ${LANG_SIMPCHINESE} "同时写入 Chrome 和 Edge 的策略"
LangString OriginsPolicies ${LANG_ENGLISH} "Also write the Chrome and Edge policies"
LangString StartBridge ${LANG_SIMPCHINESE} "启动 Ivelcard 读卡服务"
LangString StartBridge ${LANG_ENGLISH} "Start the Ivelcard bridge"
LangString RegisterFailed ${LANG_SIMPCHINESE} "无法注册 ivelcard.ocx（regsvr32 返回 $0）。"
LangString RegisterFailed ${LANG_ENGLISH} "ivelcard.ocx cannot be registered (regsvr32 exits $0)."
LangString OriginsFailed ${LANG_SIMPCHINESE} "无法写入允许的网页（ivelcard allow-origin 返回 $0）。"
LangString OriginsFailed ${LANG_ENGLISH} "The allowed pages cannot be written (ivelcard allow-origin exits $0)."

; $Origins from /ORIGINS= on the command line: everything after it up to
; the next " /" or the end (GetOptions would stop at the "//" of a URL).
Function OriginsOption
  ${GetParameters} $R0
  StrCpy $Origins ""
  StrLen $R3 $R0
  StrCpy $R1 0
  ${Do}
    ${If} $R1 >= $R3
      ${Break}
    ${EndIf}
    StrCpy $R2 $R0 9 $R1
    ${If} $R2 == "/ORIGINS="
      IntOp $R1 $R1 + 9
      ${Do}
        StrCpy $R2 $R0 2 $R1
        ${If} $R2 == " /"
        ${OrIf} $R1 >= $R3
          ${Break}
        ${EndIf}
        StrCpy $R2 $R0 1 $R1
        StrCpy $Origins "$Origins$R2"
        IntOp $R1 $R1 + 1
      ${Loop}
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + 1
  ${Loop}
FunctionEnd

Function .onInit
  SetShellVarContext all
  Call OriginsOption
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/BROWSERPOLICIES" $R1
  ${IfNot} ${Errors}
    StrCpy $BrowserPolicies "1"
  ${EndIf}
FunctionEnd

Function OriginsPage
  !insertmacro MUI_HEADER_TEXT "$(OriginsTitle)" ""
  nsDialogs::Create 1018
  Pop $R0
  ${NSD_CreateLabel} 0 0 100% 36u "$(OriginsText)"
  Pop $R0
  ${NSD_CreateText} 0 40u 100% 12u "$Origins"
  Pop $OriginsField
  ${NSD_CreateCheckbox} 0 60u 100% 12u "$(OriginsPolicies)"
  Pop $R0
  ${NSD_OnClick} $R0 OriginsPoliciesClicked
  nsDialogs::Show
FunctionEnd

Function OriginsPoliciesClicked
  Pop $R0
  ${NSD_GetState} $R0 $R1
  ${If} $R1 == ${BST_CHECKED}
    StrCpy $BrowserPolicies "1"
  ${Else}
    StrCpy $BrowserPolicies ""
  ${EndIf}
FunctionEnd

Function OriginsPageLeave
  ${NSD_GetText} $OriginsField $Origins
FunctionEnd

; Stops the bridge of this session the way its Quit does (the call in
; progress finishes), waiting up to five seconds for it to go; a bridge that
; is still there then is ended, so that its files can be removed.
!macro StopBridge
  StrCpy $R2 0
  ${Do}
    FindWindow $R1 "${BRIDGE_WINDOW_CLASS}"
    ${If} $R1 == 0
      ${Break}
    ${EndIf}
    SendMessage $R1 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    Sleep 200
    IntOp $R2 $R2 + 1
  ${LoopUntil} $R2 >= 25
  ${If} $R2 >= 25
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ivelcard-bridge.exe'
    Pop $R1
    Sleep 500
  ${EndIf}
!macroend

Section "Ivelcard" SecMain
  SetShellVarContext all
  !insertmacro StopBridge
  SetOutPath "$INSTDIR"
  File "${STAGE}\ivelcard.ocx"
  File "${STAGE}\ivelcard.exe"
  File "${STAGE}\ivelcard-bridge.exe"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\THIRD-PARTY-NOTICES.md"
  File /r "${STAGE}\web"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\ivelcard.ocx"' $0
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "$(RegisterFailed)" /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}

  ; The machine-wide allow-list: kept when it is there already.
  CreateDirectory "$APPDATA\Ivelcard"
  SetOverwrite off
  SetOutPath "$APPDATA\Ivelcard"
  File "${STAGE}\bridge.json"
  SetOverwrite on
  SetOutPath "$INSTDIR"
  ${If} $Origins != ""
    ; Commas and spaces both separate origins on the command line.
    StrCpy $R0 ""
    StrCpy $R1 0
    ${Do}
      StrCpy $R2 $Origins 1 $R1
      ${If} $R2 == ""
        ${Break}
      ${EndIf}
      ${If} $R2 == ","
        StrCpy $R2 " "
      ${EndIf}
      StrCpy $R0 "$R0$R2"
      IntOp $R1 $R1 + 1
    ${Loop}
    ${If} $BrowserPolicies == "1"
      StrCpy $R0 "--browser-policies $R0"
    ${EndIf}
    ExecWait '"$INSTDIR\ivelcard.exe" allow-origin $R0' $0
    ${If} $0 != 0
      MessageBox MB_ICONEXCLAMATION "$(OriginsFailed)" /SD IDOK
    ${EndIf}
  ${EndIf}

  WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\ivelcard-bridge.exe"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${DISPLAYVERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Comments" "${READER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ivelcard-bridge.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro StopBridge
  ; What allow-origin wrote (browser policies included) goes with the program.
  ExecWait '"$INSTDIR\ivelcard.exe" allow-origin --remove --all'
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\ivelcard.ocx"'
  Delete "$INSTDIR\ivelcard.ocx"
  Delete "$INSTDIR\ivelcard.exe"
  Delete "$INSTDIR\ivelcard-bridge.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.md"
  RMDir /r "$INSTDIR\web"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$APPDATA\Ivelcard\bridge.json"
  RMDir "$APPDATA\Ivelcard"
  ; The log of the account that uninstalls.
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\Ivelcard"
  DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
