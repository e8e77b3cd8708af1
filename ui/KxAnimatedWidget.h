#pragma once
// A floating window that plays a folder of PNG frames once, centred on the
// primary screen's available area. Main thread.

#include <QSize>
#include <QWidget>

class KxAnimatedWidgetPrivate;

class KxAnimatedWidget : public QWidget {
    Q_OBJECT
public:
    /// frameDir: a folder of "*.png" frames played in name order ignoring case
    /// (":/img/images/startmovie"); frameSize: the label's size, already
    /// scaled by the caller; interval: milliseconds per frame.
    KxAnimatedWidget(const QString &frameDir, const QSize &frameSize, int interval, double *scale,
                     QWidget *parent = nullptr);
    ~KxAnimatedWidget() override;

    /// Number of frames found in the folder.
    int frameCount() const;

signals:
    /// The last frame is on screen; it stays there until the owner hides us.
    void sigToExit();

public slots:
    /// Plays the frames from the first.
    void startMovie();

private slots:
    void onTimeOut();

private:
    KxAnimatedWidgetPrivate *m_pData;
};
