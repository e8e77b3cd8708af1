#pragma once
// The window shown after a recording: the file's name, length and size, the
// QR code that shares the lesson, and a button that opens the recordings
// folder. Main thread.

#include "KxMovableWidget.h"

class KxShareWidgetPrivate;

class KxShareWidget : public KxMovableWidget {
    Q_OBJECT
public:
    explicit KxShareWidget(double *scale, QWidget *parent = nullptr);
    ~KxShareWidget() override;

    /// Both file labels show name + ".mp4".
    void setFileName(const QString &name);

signals:
    /// The close button: the owner returns to the idle button.
    void sigToExit();

public slots:
    /// Applied to size and page only while the window is hidden.
    void setShareEnabled(const bool &enabled);
    /// The recording that starts now; its QR code is the one shown.
    void setCurrentPath(const QString &curPath);
    void onOpenBtnClicked();
    void onBackBtnClicked();
    void onShareBtnClicked();
    void onMinBtnClicked();
    void onCloseBtnClicked();
    /// file: the recording's MP4 name; code: the share text. Saves the code as
    /// "扫码分享.jpg" in that recording's folder and shows it when it belongs
    /// to the current recording.
    void onQRCodeChanged(const QString &file, const QString &code);
    /// duration in whole seconds, size in KiB.
    void onLocalFileStopped(const QString &fn, const double &duration, const double &size);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    /// Centres a 382 x 366 (scaled) rectangle on the primary screen's
    /// available area at the widget's top-left: where it opens, and where it
    /// goes back to whenever it hides.
    void moveToRestingPlace();

    KxShareWidgetPrivate *m_pData;
};
