#pragma once
// KxMainWidgetCtrller: runs the program's visible flow. It owns the master
// commander and every widget, switches between them as the lesson goes from
// the start animation to the idle record button, the countdown, the
// recording pair and the share window, shows the prompts and handles the
// tray's exit. All of it runs on the GUI thread; the only work handed to
// another thread is opening the camera during the countdown
// (CameraPreStartTask on Qt's global thread pool).

#include "IKxModuleClound.h"

#include <QDate>
#include <QList>
#include <QObject>
#include <QString>

class KxMainWidgetCtrllerPrivate;

class KxMainWidgetCtrller : public QObject {
    Q_OBJECT
public:
    /// scale: the user interface scale factor; must outlive the controller.
    explicit KxMainWidgetCtrller(double *scale, QObject *parent = nullptr);
    ~KxMainWidgetCtrller() override;

    /// With a camera present: plays the start animation. Without one: the
    /// first start shows a prompt and quits when it goes; a later call shows
    /// a prompt and plays the animation all the same.
    void startWithCameraCheck(const bool &first);
    /// A second start of the program: replays the start animation when the
    /// idle record button is showing; does nothing in any other state.
    void reStartAnimation();

    /// Removes the lesson folders below root that the program made: real
    /// folders (never links, never their targets) named exactly
    /// "MerioLesson yyyyMMdd hhmmss" (optionally with the " (n)" the commander
    /// adds to a name already taken), dated more than days days before today,
    /// whose newest file is that old too. Logs and returns the folders removed.
    static QStringList delFilesSeveralDaysAgo(const QString &root, int days,
                                              const QDate &today = QDate::currentDate());

    /// For tests and diagnostics: the widget standing for the current state
    /// (null while exiting).
    QObject *currentWidget() const;

signals:
    void sigToClosePrompt();
    void sigNetworkStatusChanged(const bool &connected);
    void sigToCloseSelectDlg();

public slots:
    void onAnimateExit();
    void onRecordClicked();
    void onCountDownExit();
    void onClipImage();
    void onStopRecord(const int &elapsed);
    void onShareExit();
    void onShowCurrentWidget();
    void onCloseWindow();
    void onShowAboutWindow();
    void onNetworkStatusChanged(const bool &connected);
    void onCameraError();
    void onUploadStatusChanged(const QList<IKxModuleClound::ICallBack::UploadProgress> &progresses);
    void onLocalFileStopped(const QString &fn, const double &duration, const double &size);

private:
    friend class KxMainWidgetCtrllerPrivate;
    KxMainWidgetCtrllerPrivate *m_pData;
};
