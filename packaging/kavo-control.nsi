; The Windows installer, kavo-control-<version>-win64-setup.exe, made by
; scripts/build-windows-installer.sh from the files of the Windows zip.
;
; It installs for the user who runs it, without administrator rights, into
; %LOCALAPPDATA%\Programs\kavo-control, with Start menu shortcuts and an
; entry in the user's list of programs. Installing a newer version over an
; older one replaces its files. /S installs without asking (for deploying to
; many machines); the uninstaller takes /S as well. The uninstaller removes
; the program files, the shortcuts and the entry, and leaves the user's
; settings (HKCU\Software\KAVO\StartUP) where they are.
;
; The optional component "Share the projector (service)" (/COMPORT=N selects
; it silently) needs an administrator: kavo-projectord.exe and its DLLs go to
; Program Files, where only administrators may change them, and run as the
; service kavo-projectord-projector under LocalService, its configuration,
; journal and state in %ProgramData%\KAVO\projectord, a folder only SYSTEM,
; administrators and the service may open. The installing user's port folder
; entry COMN names the service's pipe. Exit codes besides NSIS's own (1
; cancelled, 2 aborted): 3 a bad /COMPORT, 4 not an administrator, 5 the
; service did not stop or start in time.
;
; Defined on the command line: VERSION, FILES (the folder to install),
; FILELIST (the generated list of its files, for the uninstaller),
; SERVICE_FILES (the service's program and what it loads), LICENCE, OUTFILE,
; and WEB_PAGE when the service has its web page.

; A 64-bit installer for the 64-bit programs.
Target amd64-unicode
SetCompressor /SOLID lzma
; The service's DLLs are the panel's again: with a dictionary larger than the
; panel's files, the solid stream carries them once.
SetCompressorDictSize 64
RequestExecutionLevel user

!define PRODUCT "kavo-control"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define PROJECTOR "projector"
!define SERVICE "kavo-projectord-${PROJECTOR}"
!define PIPE_ENTRY "pipe:${SERVICE}"
; HKLM: which per-user installation added the service (ProgramsOf) and its
; COM port; the key alone, without values, says the configuration folder is
; the installer's, kept by an uninstall.
!define SERVICE_KEY "Software\KAVO\projectord"
!define EVENT_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\kavo-projectord"
!define SERVICE_DIR "$PROGRAMFILES64\KAVO\projectord"
!define HIGHEST_COM 256
; How long a start or a stop may take, in steps of 200 ms.
!define SERVICE_WAIT_STEPS 150
!define EXIT_BAD_PORT 3
!define EXIT_NOT_ADMIN 4
!define EXIT_SERVICE 5

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade goes where the version before it went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "the kavo-control authors, MIT licence"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"
!include "nsDialogs.nsh"
!include "TextFunc.nsh"

Var ComPort
Var DataDir
Var DataRoot
Var ServiceDone
Var PortField
Var RemoveConfig

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\kavo-control.exe"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENCE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom ComPortPage ComPortLeave
!insertmacro MUI_PAGE_INSTFILES
Page custom SharingPage
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Refuse TEXT CODE: says why (a message box, and on the standard error of a
; silent run started from a console) and ends with CODE, nothing installed.
!macro Refuse TEXT CODE
  StrCpy $7 "${TEXT}$\r$\n"
  StrLen $8 $7
  System::Call 'kernel32::GetStdHandle(i -12) p .r9'
  System::Call 'kernel32::WriteFile(p r9, m r7, i r8, *i 0, p 0)'
  MessageBox MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel ${CODE}
  Quit
!macroend

; Sc ARGS: Windows' sc with ARGS, its words in the details; its exit status in $0.
!macro Sc ARGS
  nsExec::ExecToLog '"$SYSDIR\sc.exe" ${ARGS}'
  Pop $0
!macroend

; IsAdmin PREFIX: $0 is 1 when the installer runs with administrator rights.
!macro IsAdmin PREFIX
  Function ${PREFIX}IsAdmin
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 == "Admin"
      StrCpy $0 1
    ${Else}
      StrCpy $0 0
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro IsAdmin ""
!insertmacro IsAdmin "un."

; ServiceState PREFIX: $0 is empty when there is no such service, else
; what sc query says of it.
!macro ServiceState PREFIX
  Function ${PREFIX}ServiceState
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query ${SERVICE}'
    Pop $0
    Pop $1
    ${If} $0 != 0
      StrCpy $0 ""
    ${Else}
      StrCpy $0 "?$1"
    ${EndIf}
  FunctionEnd

  ; WaitForState: waits, bounded, until sc query says the state on the stack
  ; (no such service counts as STOPPED); $0 is that state, or TIMEOUT.
  Function ${PREFIX}WaitForState
    Exch $2
    Push $3
    StrCpy $3 0
    ${Do}
      Call ${PREFIX}ServiceState
      ${IfThen} $0 == "" ${|} StrCpy $0 "? STOPPED" ${|}
      ClearErrors
      ${${PREFIX}WordFind} "$0" "$2" "E+1{" $0
      ${IfNot} ${Errors}
        StrCpy $0 $2
        ${ExitDo}
      ${EndIf}
      IntOp $3 $3 + 1
      ${If} $3 >= ${SERVICE_WAIT_STEPS}
        StrCpy $0 TIMEOUT
        ${ExitDo}
      ${EndIf}
      Sleep 200
    ${Loop}
    Pop $3
    Pop $2
  FunctionEnd

  ; StopService: stops the service if it runs and waits until it stopped;
  ; $0 is STOPPED when it did.
  Function ${PREFIX}StopService
    Call ${PREFIX}ServiceState
    ${If} $0 != ""
      DetailPrint "Stopping the service ${SERVICE}"
      !insertmacro Sc "stop ${SERVICE}"
    ${EndIf}
    Push STOPPED
    Call ${PREFIX}WaitForState
  FunctionEnd
!macroend
!insertmacro ServiceState ""
!insertmacro ServiceState "un."

Section "kavo-control" SecPanel
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  ; An upgrade: the folders of the version before go first, so that a file it
  ; had and this one has not does not stay behind (the folders are ours alone).
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\licenses"
  File /r "${FILES}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\kavo-control.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "the kavo-control authors"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kavo-control.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Icacls ARGS: Windows' icacls with ARGS, for the folders in $DataRoot; a
; failure stops the installation.
!macro Icacls ARGS
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" ${ARGS} /Q'
  Pop $0
  ${If} $0 != 0
    !insertmacro Refuse "The access lists in $DataRoot could not be set (icacls: $0); the service was not installed." ${EXIT_SERVICE}
  ${EndIf}
!macroend

; LockDataFolders: %ProgramData%\KAVO and its folder projectord get
; administrators as the owner of everything in them, and access lists of
; their own: no explicit entry from before stays (/reset), nothing is
; inherited from %ProgramData%, where every user may create folders, and
; projectord and its files are for SYSTEM, administrators and LocalService
; alone. A user may have made either folder first and put files there.
Function LockDataFolders
  ; takeown takes the two folders even where their access lists shut
  ; administrators out (no /R: its question's answer depends on the
  ; language); a file below that does so stops icacls, and with it the
  ; installation, rather than staying someone else's.
  ${If} ${FileExists} "$SYSDIR\takeown.exe"
    nsExec::ExecToLog '"$SYSDIR\takeown.exe" /F "$DataRoot" /A'
    Pop $0
    ${If} $0 == 0
      nsExec::ExecToLog '"$SYSDIR\takeown.exe" /F "$DataDir" /A'
      Pop $0
    ${EndIf}
    ${If} $0 != 0
      !insertmacro Refuse "$DataRoot could not be made the administrators' (takeown: $0); the service was not installed." ${EXIT_SERVICE}
    ${EndIf}
  ${EndIf}
  !insertmacro Icacls '"$DataRoot" /setowner *S-1-5-32-544 /T'
  !insertmacro Icacls '"$DataRoot" /reset'
  !insertmacro Icacls '"$DataRoot" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(RX) *S-1-5-19:(RX)'
  !insertmacro Icacls '"$DataDir" /reset /T'
  !insertmacro Icacls '"$DataDir" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-19:(OI)(CI)M'
FunctionEnd

; The configuration of a first installation: the line, the journal beside
; it, and what else the service can do, commented out, as the example
; configuration explains it. Comments start with a semicolon, which Qt's INI
; reader takes as a comment (a line "#key = value" it reads as a key).
Function WriteConfig
  StrCpy $3 "$DataDir\${PROJECTOR}.conf"
  ; The INI file takes backslashes as escapes: the path with forward slashes.
  ${WordReplace} "$DataDir" "\" "/" "+" $4
  FileOpen $1 "$3" w
  ${If} ${Errors}
    !insertmacro Refuse "$3 could not be written; the service was not installed." ${EXIT_SERVICE}
  ${EndIf}
  FileWrite $1 "; kavo-projectord configuration for the projector $\"${PROJECTOR}$\", written by$\r$\n"
  FileWrite $1 "; the kavo-control installer, which keeps it on upgrades. The keys are the$\r$\n"
  FileWrite $1 "; service's long options without their dashes (kavo-projectord.exe --help$\r$\n"
  FileWrite $1 "; and the README). After a change, as administrator:$\r$\n"
  FileWrite $1 ";   net stop ${SERVICE} && net start ${SERVICE}$\r$\n"
  FileWrite $1 "; Paths take forward slashes: a backslash is an escape here. A comment$\r$\n"
  FileWrite $1 "; starts with a semicolon.$\r$\n$\r$\n"
  FileWrite $1 "; The projector's COM port, opened by the service alone; the panel and$\r$\n"
  FileWrite $1 "; kavoctl.exe reach it through the pipe (the port folder entry COM$ComPort$\r$\n"
  FileWrite $1 "; holding ${PIPE_ENTRY}).$\r$\n"
  FileWrite $1 "device = COM$ComPort$\r$\n$\r$\n"
  FileWrite $1 "; Line speed, 9600 or 19200.$\r$\n;baud = 19200$\r$\n$\r$\n"
  FileWrite $1 "; Every exchange and who sent it, rotated at 10 MB keeping three.$\r$\n"
  FileWrite $1 "journal = $4/${PROJECTOR}.log$\r$\n$\r$\n"
  FileWrite $1 "; Who may open the service's pipe \\.\pipe\${SERVICE} (the panel,$\r$\n"
  FileWrite $1 "; kavoctl.exe): an account or group (LECTERN\AV staff) or a SID;$\r$\n"
  FileWrite $1 "; administrators always may. By default all the PC's users (S-1-5-32-545,$\r$\n"
  FileWrite $1 "; BUILTIN\Users whatever Windows' language calls it).$\r$\n"
  FileWrite $1 ";pipe-users = S-1-5-32-545$\r$\n$\r$\n"
  FileWrite $1 "; Also serve on TCP, on 127.0.0.1 unless an address is given. Anyone who$\r$\n"
  FileWrite $1 "; reaches a port on another address controls the projector.$\r$\n"
  FileWrite $1 ";listen = 127.0.0.1:4001$\r$\n$\r$\n"
  FileWrite $1 "; Answer as a PJLink projector on this TCP port (4352 is the standard one),$\r$\n"
  FileWrite $1 "; on 127.0.0.1 unless an address is given. Without a password file any$\r$\n"
  FileWrite $1 "; controller that reaches the port controls the projector; the password is$\r$\n"
  FileWrite $1 "; the first line of its file, kept in this folder.$\r$\n"
  FileWrite $1 ";pjlink = 0.0.0.0:4352$\r$\n"
  FileWrite $1 ";pjlink-password-file = $4/${PROJECTOR}.pjlink$\r$\n"
  FileWrite $1 ";pjlink-name = ${PROJECTOR}$\r$\n$\r$\n"
!ifdef WEB_PAGE
  FileWrite $1 "; The projector's web page and JSON API, for phones, tablets and office PCs.$\r$\n"
  FileWrite $1 "; Another machine may use it only with accounts (kavo-projectord.exe --users$\r$\n"
  FileWrite $1 "; FILE --add-user NAME --role viewer, operator or admin); give it a$\r$\n"
  FileWrite $1 "; certificate so that passwords do not cross the network readable.$\r$\n"
  FileWrite $1 ";http = 0.0.0.0:8443$\r$\n"
  FileWrite $1 ";https-cert = $4/${PROJECTOR}.crt$\r$\n"
  FileWrite $1 ";https-key = $4/${PROJECTOR}.key$\r$\n"
  FileWrite $1 ";users = $4/${PROJECTOR}.users$\r$\n$\r$\n"
!endif
  FileWrite $1 "; Put the projector on an MQTT broker (mqtt:// only on Windows), with Home$\r$\n"
  FileWrite $1 "; Assistant's discovery; the password is the first line of its file.$\r$\n"
  FileWrite $1 ";mqtt = mqtt://${PROJECTOR}@broker.example:1883$\r$\n"
  FileWrite $1 ";mqtt-password-file = $4/${PROJECTOR}.mqtt$\r$\n$\r$\n"
  FileWrite $1 '; A schedule: "mon-fri 22:00 power off" a line; what the service missed$\r$\n'
  FileWrite $1 "; runs when it is back if at most catch-up minutes late.$\r$\n"
  FileWrite $1 ";schedule = $4/${PROJECTOR}.schedule$\r$\n;catch-up = 15$\r$\n$\r$\n"
  FileWrite $1 "; Alerts, said once when they begin and once when they clear: a program (the$\r$\n"
  FileWrite $1 "; event in KAVO_* variables and as JSON on its input) and a webhook. Mail$\r$\n"
  FileWrite $1 "; is not available on Windows.$\r$\n"
  FileWrite $1 ";lamp-alert-hours = 2800$\r$\n;temperature-alert = 70$\r$\n"
  FileWrite $1 ";alert-command = C:/Program Files/AV/notify.exe$\r$\n"
  FileWrite $1 ";alert-webhook = https://hooks.example.org/kavo/${PROJECTOR}$\r$\n"
  FileWrite $1 ";alert-webhook-secret-file = $4/${PROJECTOR}.webhook$\r$\n"
  FileClose $1
FunctionEnd

; EntryLine PREFIX: $2 is the first line of the port folder entry $3.
!macro EntryLine PREFIX
  Function ${PREFIX}EntryLine
    FileOpen $1 "$3" r
    FileRead $1 $2
    FileClose $1
    ${${PREFIX}TrimNewLines} "$2" $2
  FunctionEnd
!macroend
!insertmacro EntryLine ""
!insertmacro EntryLine "un."

; The installing user's port folder entry COMN naming the service's pipe,
; unless the user has an entry of another kind there. COM1 to COM9 are the
; ports themselves in every folder: the entry goes by its \\?\ path.
Function WriteEntry
  SetShellVarContext current
  StrCpy $3 "\\?\$LOCALAPPDATA\KAVO\ports\COM$ComPort"
  ${If} ${FileExists} "$3"
    Call EntryLine
    ${If} $2 != "${PIPE_ENTRY}"
      DetailPrint "Your port folder's entry COM$ComPort holds $2: left as it is"
      Return
    ${EndIf}
  ${EndIf}
  CreateDirectory "$LOCALAPPDATA\KAVO\ports"
  FileOpen $1 "$3" w
  FileWrite $1 "${PIPE_ENTRY}$\r$\n"
  FileClose $1
FunctionEnd

Section /o "Share the projector (service)" SecService
  ; The components page and /COMPORT= check this before anything is
  ; installed; here it is the last guard against a service whose program a
  ; user could replace.
  Call IsAdmin
  ${If} $0 != 1
    !insertmacro Refuse "Sharing the projector needs an administrator: run the installer as administrator." ${EXIT_NOT_ADMIN}
  ${EndIf}
  SetShellVarContext all
  ReadEnvStr $DataDir PROGRAMDATA
  ${If} $DataDir == ""
    StrCpy $DataDir "$APPDATA"
  ${EndIf}
  StrCpy $DataRoot "$DataDir\KAVO"
  StrCpy $DataDir "$DataRoot\projectord"

  ; An upgrade: the running service holds its program's files.
  Call StopService
  ${If} $0 != STOPPED
    !insertmacro Refuse "The service ${SERVICE} did not stop; nothing of it was changed." ${EXIT_SERVICE}
  ${EndIf}

  SetOutPath "${SERVICE_DIR}"
  RMDir /r "${SERVICE_DIR}\tls"
  RMDir /r "${SERVICE_DIR}\licenses"
  File /r "${SERVICE_FILES}\*.*"

  ; The folder holds password files: the PC's users may not even read it.
  ; Its parent is locked as well, so that no user can swap the folder.
  CreateDirectory "$DataDir"
  Call LockDataFolders
  ; A configuration there that the installer did not write or keep may be
  ; anyone's, from before the folder was locked: moved aside, not used.
  ClearErrors
  ReadRegStr $0 HKLM "${SERVICE_KEY}" ""
  ${If} ${Errors}
  ${AndIf} ${FileExists} "$DataDir\${PROJECTOR}.conf"
    Delete "$DataDir\${PROJECTOR}.conf.unknown"
    Rename "$DataDir\${PROJECTOR}.conf" "$DataDir\${PROJECTOR}.conf.unknown"
    DetailPrint "A configuration from elsewhere is now $DataDir\${PROJECTOR}.conf.unknown"
  ${EndIf}
  WriteRegStr HKLM "${SERVICE_KEY}" "" ""
  ${If} ${FileExists} "$DataDir\${PROJECTOR}.conf"
    DetailPrint "Kept the configuration $DataDir\${PROJECTOR}.conf"
  ${Else}
    Call WriteConfig
  ${EndIf}

  ; An upgrade keeps the service as it is, with what an administrator changed
  ; in it since. Its command line names its configuration: it does not look
  ; for it.
  Call ServiceState
  ${If} $0 == ""
    !insertmacro Sc 'create ${SERVICE} binPath= "\"${SERVICE_DIR}\kavo-projectord.exe\" --name ${PROJECTOR} --config \"$DataDir\${PROJECTOR}.conf\"" start= auto obj= "NT AUTHORITY\LocalService" DisplayName= "kavo-projectord (${PROJECTOR})"'
    ${If} $0 != 0
      !insertmacro Refuse "The service ${SERVICE} could not be created (sc: $0)." ${EXIT_SERVICE}
    ${EndIf}
    !insertmacro Sc 'description ${SERVICE} "Shares the projector on COM$ComPort with the panel, kavoctl and control systems, and journals every exchange."'
    !insertmacro Sc 'failure ${SERVICE} reset= 86400 actions= restart/5000/restart/5000/restart/60000'
    ; A failed end with an exit status counts as a failure too, not a crash alone.
    !insertmacro Sc 'failureflag ${SERVICE} 1'
  ${EndIf}
  WriteRegExpandStr HKLM "${EVENT_KEY}" "EventMessageFile" "${SERVICE_DIR}\kavo-projectord.exe"
  WriteRegDWORD HKLM "${EVENT_KEY}" "TypesSupported" 7
  WriteRegStr HKLM "${SERVICE_KEY}" "ProgramsOf" "$INSTDIR"
  WriteRegDWORD HKLM "${SERVICE_KEY}" "ComPort" $ComPort
  WriteRegStr HKCU "${UNINSTALL_KEY}" "SharedComPort" "$ComPort"

  Call WriteEntry

  DetailPrint "Starting the service ${SERVICE}"
  !insertmacro Sc "start ${SERVICE}"
  Push RUNNING
  Call WaitForState
  ${If} $0 != RUNNING
    DetailPrint "The service ${SERVICE} did not start ($0): see the Application event log and $DataDir\${PROJECTOR}.log"
    SetErrorLevel ${EXIT_SERVICE}
  ${EndIf}
  StrCpy $ServiceDone 1
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPanel} "The panel and kavoctl.exe, for you alone."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "The service kavo-projectord owns the COM port and shares it with the panel, kavoctl.exe and control systems (PJLink, MQTT), journaling every exchange. Needs an administrator."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; /COMPORT=N selects the service for COM port N; a bad N ends the installer
; before it installs anything.
Function .onInit
  StrCpy $ComPort 1
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/COMPORT=" $R1
  ${IfNot} ${Errors}
    Push $R1
    Call CheckComPort
    ${If} $0 != ""
      !insertmacro Refuse "/COMPORT=$R1: $0" ${EXIT_BAD_PORT}
    ${EndIf}
    StrCpy $ComPort $R1
    Call IsAdmin
    ${If} $0 != 1
      !insertmacro Refuse "Sharing the projector needs an administrator: run the installer as administrator." ${EXIT_NOT_ADMIN}
    ${EndIf}
    !insertmacro SelectSection ${SecService}
    Return
  ${EndIf}
  ; An administrator's upgrade of the installation that added the service
  ; upgrades the service as well, on its port.
  Call IsAdmin
  ReadRegStr $R1 HKLM "${SERVICE_KEY}" "ProgramsOf"
  ${If} $0 == 1
  ${AndIf} $R1 != ""
  ${AndIf} $R1 == $INSTDIR
    ReadRegDWORD $ComPort HKLM "${SERVICE_KEY}" "ComPort"
    !insertmacro SelectSection ${SecService}
  ${EndIf}
FunctionEnd

; CheckComPort: the text on the stack as a COM port; $0 is empty when it is
; one, else why not. A number reads back as the same text only when it has
; nothing but digits and no leading zero.
Function CheckComPort
  Exch $1
  Push $2
  IntOp $2 $1 + 0
  ${If} $1 == ""
    StrCpy $0 "no port number given (1 to ${HIGHEST_COM})"
  ${ElseIf} "$2" != "$1"
  ${OrIf} $2 < 1
  ${OrIf} $2 > ${HIGHEST_COM}
    StrCpy $0 "not a port number from 1 to ${HIGHEST_COM}"
  ${Else}
    StrCpy $0 ""
  ${EndIf}
  Pop $2
  Pop $1
FunctionEnd

Function .onSelChange
  ${If} ${SectionIsSelected} ${SecService}
    Call IsAdmin
    ${If} $0 != 1
      MessageBox MB_ICONEXCLAMATION "Sharing the projector needs an administrator: run the installer as administrator."
      !insertmacro UnselectSection ${SecService}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ComPortPage
  ${IfNot} ${SectionIsSelected} ${SecService}
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "The projector's COM port" "The service opens this port and shares it."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "The COM port the projector is connected to, as the panel and Device Manager number them (1 to ${HIGHEST_COM}; a USB serial adapter shows there as $\"USB Serial Port (COMn)$\"). From now on the service opens it, and the panel and kavoctl.exe reach it through the service."
  Pop $0
  ${NSD_CreateLabel} 0 44u 40u 12u "COM"
  Pop $0
  ${NSD_CreateNumber} 42u 42u 40u 12u "$ComPort"
  Pop $PortField
  nsDialogs::Show
FunctionEnd

Function ComPortLeave
  ${NSD_GetText} $PortField $R1
  Push $R1
  Call CheckComPort
  ${If} $0 != ""
    MessageBox MB_ICONEXCLAMATION "COM$R1: $0."
    Abort
  ${EndIf}
  StrCpy $ComPort $R1
FunctionEnd

; Who may use the shared projector, said before the finish page.
Function SharingPage
  ${If} $ServiceDone != 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "The projector is shared" "Who may use it, and where its configuration is."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 100% "The service ${SERVICE} owns COM$ComPort; your panel and kavoctl.exe --port $ComPort reach it through its pipe (your port folder's entry COM$ComPort). Another user gives their panel the same entry (see the README).$\r$\n$\r$\nThe pipe: the accounts of pipe-users in the configuration (the PC's users by default) and administrators.$\r$\n$\r$\nPJLink: off until pjlink = is set; a controller that reaches it needs the first line of pjlink-password-file, if one is set.$\r$\n$\r$\nThe web page: $(WebPageText)$\r$\n$\r$\nThe configuration is $DataDir\${PROJECTOR}.conf, the journal $DataDir\${PROJECTOR}.log beside it, readable by administrators only. After a change: net stop ${SERVICE} and net start ${SERVICE}."
  Pop $0
  nsDialogs::Show
FunctionEnd
!ifdef WEB_PAGE
LangString WebPageText 1033 "the accounts in the users file (--add-user NAME --role viewer, operator or admin) on the address of http =."
!else
LangString WebPageText 1033 "not in this build."
!endif

Function un.onInit
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/REMOVECONFIG" $R1
  ${If} ${Errors}
    StrCpy $RemoveConfig 0
  ${Else}
    StrCpy $RemoveConfig 1
  ${EndIf}
  ; The service is removed with the installation that added it, by an
  ; administrator only; without one nothing is removed.
  ReadRegStr $R1 HKLM "${SERVICE_KEY}" "ProgramsOf"
  ${If} $R1 != ""
  ${AndIf} $R1 == $INSTDIR
    Call un.IsAdmin
    ${If} $0 != 1
      !insertmacro Refuse "Removing the shared projector needs an administrator: run the uninstaller as administrator." ${EXIT_NOT_ADMIN}
    ${EndIf}
    StrCpy $ServiceDone 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ${If} $ServiceDone == 1
    Call un.RemoveService
  ${EndIf}
  SetShellVarContext current
  ; Only what the installer put there: a folder the user chose may hold
  ; other files, which stay.
  !include "${FILELIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; HKCU\Software\KAVO holds the user's port and speed: it stays.
SectionEnd

Function un.RemoveService
  Call un.StopService
  ${If} $0 != STOPPED
    !insertmacro Refuse "The service ${SERVICE} did not stop; nothing was removed." ${EXIT_SERVICE}
  ${EndIf}
  !insertmacro Sc "delete ${SERVICE}"
  DeleteRegKey HKLM "${EVENT_KEY}"
  RMDir /r "${SERVICE_DIR}"
  RMDir "$PROGRAMFILES64\KAVO"

  ; The user's entry, while it still names the service's pipe.
  SetShellVarContext current
  ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "SharedComPort"
  StrCpy $3 "\\?\$LOCALAPPDATA\KAVO\ports\COM$1"
  ${If} $1 != ""
  ${AndIf} ${FileExists} "$3"
    Call un.EntryLine
    ${If} $2 == "${PIPE_ENTRY}"
      Delete "$3"
    ${EndIf}
  ${EndIf}

  ReadEnvStr $DataDir PROGRAMDATA
  StrCpy $DataDir "$DataDir\KAVO\projectord"
  ${IfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove the service's configuration and journal in $DataDir?" /SD IDNO IDNO +2
    StrCpy $RemoveConfig 1
  ${EndIf}
  ${If} $RemoveConfig == 1
    RMDir /r "$DataDir"
    RMDir "$DataDir\.."
    DeleteRegKey HKLM "${SERVICE_KEY}"
  ${Else}
    ; The key without values: the kept folder is the installer's.
    DeleteRegValue HKLM "${SERVICE_KEY}" "ProgramsOf"
    DeleteRegValue HKLM "${SERVICE_KEY}" "ComPort"
    WriteRegStr HKLM "${SERVICE_KEY}" "" ""
  ${EndIf}
  DeleteRegKey /ifempty HKLM "Software\KAVO"
FunctionEnd
