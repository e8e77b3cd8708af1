#pragma once
// The light dialog frame with a title bar and a close button, dragged by its
// title bar. Its content is a KxPromptDlgShellInnerWidget. Main thread.

#include <QDialog>
#include <QWidget>

class KxPromptDlgShellPrivate;

class KxPromptDlgShellInnerWidget : public QWidget {
    Q_OBJECT
public:
    explicit KxPromptDlgShellInnerWidget(QWidget *parent = nullptr) : QWidget(parent) {}

signals:
    /// The dialog accepts.
    void sigConfirm();
    /// The dialog closes.
    void sigCancel();
};

class KxPromptDlgShell : public QDialog {
    Q_OBJECT
public:
    KxPromptDlgShell(const QString &title, double *scale, QWidget *parent = nullptr);
    ~KxPromptDlgShell() override;

    /// Replaces the content (the shell takes ownership and deletes the old
    /// one) and wires its sigConfirm to accept() and sigCancel to close().
    void setInnerWidget(KxPromptDlgShellInnerWidget *inner);
    KxPromptDlgShellInnerWidget *innerWidget() const;

public slots:
    void onConfirm();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    double scale() const;

private:
    KxPromptDlgShellPrivate *m_pData;
};
