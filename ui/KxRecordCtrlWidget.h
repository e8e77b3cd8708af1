#pragma once
// The floating record control: elapsed time, stop and snapshot buttons. It
// reads the recording's clock from the commander every 100 ms, turns the time
// red in the last 30 seconds and stops the recording by itself at the
// recording limit. Main thread.

#include "KxMovableWidget.h"

#include <cstdint>
#include <functional>

class KxMasterCommander;
class QLabel;
class KxRecordCtrlWidgetPrivate;

class KxRecordCtrlWidget : public KxMovableWidget {
    Q_OBJECT
public:
    /// Where the control reads the milliseconds of the running recording.
    using ElapsedSource = std::function<int64_t()>;

    explicit KxRecordCtrlWidget(double *scale, QWidget *parent = nullptr);
    ~KxRecordCtrlWidget() override;

    /// The commander whose elapsed() is the recording's clock (not owned).
    /// Sets the elapsed source to it.
    void setCommander(KxMasterCommander *commander);
    /// Replaces the clock (tests drive time through it); an empty function
    /// reads 0.
    void setElapsedSource(ElapsedSource source);

    /// Starts counting from the clock's current value; the label refreshes
    /// every 100 ms.
    void startRecord();
    /// Stops the timer and keeps the elapsed milliseconds for takeLastElapsed.
    void stopRecord();
    /// The elapsed milliseconds kept by the last stop; resets them to 0.
    int64_t takeLastElapsed();

    /// The time label ("m_pTimeLabel"), for its owner's layout checks.
    QLabel *timeLabel() const;

signals:
    void sigToClipImg();
    /// The user stopped the recording or it reached its limit; elapsed in ms.
    void sigToExit(const int &elapsed);

public slots:
    void onRecordTimeChanged();
    void onStopBtnClicked();
    void onClipImage();

protected:
    void showEvent(QShowEvent *event) override;

private:
    KxRecordCtrlWidgetPrivate *m_pData;
};
