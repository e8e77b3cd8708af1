<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>KxAboutDlgInnerWidget</name>
    <message>
        <source>ID_CHECKING</source>
        <translation>Checking for updates…</translation>
    </message>
    <message>
        <source>ID_CHECK_UPDATE</source>
        <translation>Check now</translation>
    </message>
    <message>
        <source>ID_COMPANY_NAME</source>
        <translation>Tolvane Education Technology</translation>
    </message>
    <message>
        <source>ID_COPYRIGHT</source>
        <translation>Copyright © Tolvane. All rights reserved.</translation>
    </message>
    <message>
        <source>ID_NETWORK_CONNECT_ERROR_MESS</source>
        <translation>Cannot connect. Please try again later.</translation>
    </message>
    <message>
        <source>ID_TITLE</source>
        <translation>NorviMerioShare</translation>
    </message>
    <message>
        <source>ID_VERSION</source>
        <translation>Version %1</translation>
    </message>
</context>
<context>
    <name>KxCountDownWidget</name>
    <message>
        <source>ID_RECORD_LENGTH_INFO</source>
        <translation>Up to %1 minutes</translation>
    </message>
</context>
<context>
    <name>KxMainWidgetCtrller</name>
    <message>
        <source>ID_RECORD_FILE_BROKEN</source>
        <translation>The lesson file %1 could not be saved completely. Please check the disk space.</translation>
    </message>
    <message>
        <source>ID_RECORD_FOLDER_UNUSABLE</source>
        <translation>The lesson cannot be recorded: %1. Please free disk space or check the Documents folder.</translation>
    </message>
    <message>
        <source>ID_RECORD_OTHER_PROCESS</source>
        <translation>The lesson cannot be recorded: %1. Please finish that recording first.</translation>
    </message>
    <message>
        <source>ID_ABOUT</source>
        <translation>About</translation>
    </message>
    <message>
        <source>ID_CAMERA_MISSING</source>
        <translation>No camera found. Please check the connection.</translation>
    </message>
    <message>
        <source>ID_CAMERA_OCCUPIED</source>
        <translation>The camera is in use. Please close other programs using it.</translation>
    </message>
    <message>
        <source>ID_INSTALL_CAMARA</source>
        <translation>Please connect the classroom camera, then start the program again.</translation>
    </message>
    <message>
        <source>ID_NETWORK_CANTUSE</source>
        <translation>No network: this recording is saved on this computer only</translation>
    </message>
    <message>
        <source>ID_NETWORK_DISCONNECTED</source>
        <translation>Network lost. Recording continues.</translation>
    </message>
    <message>
        <source>ID_RECORD_LEN_SHORT</source>
        <translation>Too short (under 5 seconds): not saved</translation>
    </message>
    <message>
        <source>ID_TITLE</source>
        <translation>NorviMerioShare</translation>
    </message>
    <message>
        <source>ID_NO_MICROPHONE</source>
        <translation>No microphone found: record without sound?</translation>
    </message>
    <message>
        <source>ID_RECORD_WITHOUT_SOUND</source>
        <translation>Record without sound</translation>
    </message>
    <message>
        <source>ID_CANCEL</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>KxShareWidget</name>
    <message>
        <source>ID_NO_CODE</source>
        <translation>Preparing the QR code…</translation>
    </message>
    <message>
        <source>ID_OPEN_FOLDER</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>ID_RECORD_FINISH</source>
        <translation>Recording finished</translation>
    </message>
    <message>
        <source>ID_RECORD_REMARK</source>
        <translation>Students scan the code to watch this lesson</translation>
    </message>
    <message>
        <source>ID_TITLE</source>
        <translation>NorviMerioShare</translation>
    </message>
</context>
<context>
    <name>KxSystemTrayIcon</name>
    <message>
        <source>ID_ABOUT</source>
        <translation>About</translation>
    </message>
    <message>
        <source>ID_EXIT</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>ID_TITLE</source>
        <translation>NorviMerioShare</translation>
    </message>
</context>
<context>
    <name>KxUpdateListWidget</name>
    <message>
        <source>ID_DISCONNECT_INFO</source>
        <translation>Network lost. These videos were not uploaded:</translation>
    </message>
    <message>
        <source>ID_OK</source>
        <translation>Got it</translation>
    </message>
</context>
<context>
    <name>ProgressInnerWidget</name>
    <message>
        <source>ID_CANCEL</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>ID_CONFIRM</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>ID_PROGRESS_PERCENT</source>
        <translation>%1% uploaded</translation>
    </message>
    <message>
        <source>ID_REMAIN_VIDEO_NUM</source>
        <translation>%1 video(s) still uploading</translation>
    </message>
</context>
<context>
    <name>SelectInnerWidget</name>
    <message>
        <source>ID_BTN_EXIT</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>ID_BTN_RECORD</source>
        <translation>Keep recording</translation>
    </message>
    <message>
        <source>ID_VIDEO_RECORDING</source>
        <translation>Recording. Exit anyway? The lesson recorded so far will be kept (lessons shorter than 5 seconds are not kept).</translation>
    </message>
</context>
</TS>
