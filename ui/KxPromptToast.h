#pragma once
// A translucent notice that deletes itself after its life or at the first
// click on it. Main thread.

#include <QWidget>

class KxPromptToastPrivate;

class KxPromptToast : public QWidget {
    Q_OBJECT
public:
    /// text: the translated text; life: seconds until the toast deletes
    /// itself; fontSize: pixels before scaling; withIcon: the tall form with
    /// the notice icon above the text. The toast deletes itself (deleteLater).
    KxPromptToast(const QString &text, int life, int fontSize, double *scale, bool withIcon,
                  QWidget *parent = nullptr);
    ~KxPromptToast() override;

    /// Centres the toast on the primary screen, shows and activates it.
    void showOnScreenCenter();
    /// Centres the toast over ref, shows and activates it.
    void showOnRefWidgetCenter(QWidget *ref);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    KxPromptToastPrivate *m_pData;
};
