<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>KxMainWidgetCtrller</name>
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
</context>
</TS>
