#pragma once
// The full-screen countdown (3, 2, 1) before a recording, with the line that
// tells the recording limit. Main thread.

#include <QWidget>

class KxCountDownWidgetPrivate;

class KxCountDownWidget : public QWidget {
    Q_OBJECT
public:
    explicit KxCountDownWidget(double *scale, QWidget *parent = nullptr);
    ~KxCountDownWidget() override;

signals:
    /// The countdown has ended (1.5 s after startMovie).
    void sigToExit();

public slots:
    void startMovie();

private:
    KxCountDownWidgetPrivate *m_pData;
};
