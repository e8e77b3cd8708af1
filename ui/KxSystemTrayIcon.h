#pragma once
// The tray icon and its menu (about, exit). Without a system tray the icon
// simply stays invisible; the floating windows work on. Main thread.

#include <QSystemTrayIcon>

class QMenu;

class KxSystemTrayIcon : public QSystemTrayIcon {
    Q_OBJECT
public:
    explicit KxSystemTrayIcon(double *scale, QObject *parent = nullptr);
    ~KxSystemTrayIcon() override;

    QMenu *menu() const;

signals:
    /// A single click on the icon: show the current window.
    void sigToShowWidget();
    void sigToCloseWindow();
    void sigToShowAboutWindow();

public slots:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

private:
    QMenu *m_pMenu;
};
