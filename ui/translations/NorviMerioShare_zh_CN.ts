<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>KxMainWidgetCtrller</name>
    <message>
        <source>ID_ABOUT</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>ID_CAMERA_MISSING</source>
        <translation>未检测到摄像头，请检查连接</translation>
    </message>
    <message>
        <source>ID_CAMERA_OCCUPIED</source>
        <translation>摄像头被占用，请关闭其他使用摄像头的程序</translation>
    </message>
    <message>
        <source>ID_INSTALL_CAMARA</source>
        <translation>请先连接课堂摄像头，再打开本软件</translation>
    </message>
    <message>
        <source>ID_NETWORK_CANTUSE</source>
        <translation>网络不可用，本次录制仅保存到本地</translation>
    </message>
    <message>
        <source>ID_NETWORK_DISCONNECTED</source>
        <translation>网络已断开，录制仍在继续</translation>
    </message>
    <message>
        <source>ID_RECORD_LEN_SHORT</source>
        <translation>录制时间太短（少于 5 秒），未保存</translation>
    </message>
    <message>
        <source>ID_TITLE</source>
        <translation>NorviMerioShare 课堂录制分享</translation>
    </message>
</context>
</TS>
