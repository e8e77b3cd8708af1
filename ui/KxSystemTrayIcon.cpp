#include "KxSystemTrayIcon.h"

#include "KxUiCommon.h"

#include <QAction>
#include <QMenu>
#include <QtDebug>

KxSystemTrayIcon::KxSystemTrayIcon(double *scale, QObject *parent) : QSystemTrayIcon(parent)
{
    kxInitUiResources();
    const double s = kxScaleOf(scale);
    setToolTip(tr("ID_TITLE"));
    setIcon(QIcon(":/img/images/merioshare.ico"));

    m_pMenu = new QMenu;
    m_pMenu->setObjectName("trayMenu");
    m_pMenu->setWindowFlags(m_pMenu->windowFlags() | Qt::FramelessWindowHint);
    m_pMenu->setAttribute(Qt::WA_TranslucentBackground);
    QAction *about = m_pMenu->addAction(tr("ID_ABOUT"));
    QAction *exit = m_pMenu->addAction(tr("ID_EXIT"));
    about->setIconVisibleInMenu(true);
    exit->setIconVisibleInMenu(true);
    m_pMenu->setStyleSheet(
        QString("QMenu{     padding:%1px 0px %2px 0px;     background:#ffffff;     border:0px solid gray;     "
                "border-radius: %2px;     font-size:%3px;     color: #333333;     border: 1px solid #eae9ea;     "
                "width:%4px;     height:%5px;}QMenu::item{     padding: 0px %6px 0px %6px;     width:%7px;     "
                "height:%8px;}QMenu::item:selected {     border: 0px solid #335EA8;     background-color: rgb(238, "
                "238, 238, 100%);}QMenu::item:disabled{color: #999999;}")
            .arg(kxScaledReal(8, s), kxScaledReal(4, s), kxScaledReal(14, s), kxScaledReal(92, s),
                 kxScaledReal(72, s), kxScaledReal(31, s), kxScaledReal(92, s), kxScaledReal(28, s)));
    setContextMenu(m_pMenu);

    connect(about, &QAction::triggered, this, &KxSystemTrayIcon::sigToShowAboutWindow);
    connect(exit, &QAction::triggered, this, &KxSystemTrayIcon::sigToCloseWindow);
    connect(this, &QSystemTrayIcon::activated, this, &KxSystemTrayIcon::onActivated);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        qWarning() << "KxSystemTrayIcon::KxSystemTrayIcon, no system tray; the floating windows stay the handle";
}

KxSystemTrayIcon::~KxSystemTrayIcon()
{
    setContextMenu(nullptr);
    delete m_pMenu;
}

QMenu *KxSystemTrayIcon::menu() const
{
    return m_pMenu;
}

void KxSystemTrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    qDebug() << "KxSystemTrayIcon::onActivated" << ", reason: " << reason;
    if (reason == QSystemTrayIcon::Trigger)
        emit sigToShowWidget();
}
