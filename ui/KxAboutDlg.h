#pragma once
// The about dialog: product name, logo, version, company lines and the check
// for a newer version through the network library's update service.
// Main thread.

#include "KxPromptDlgShell.h"

#include <QJsonObject>

#include "IKxNetWorkManager.h"
class KxAboutDlgInnerWidgetPrivate;

class KxAboutDlgInnerWidget : public KxPromptDlgShellInnerWidget {
    Q_OBJECT
public:
    KxAboutDlgInnerWidget(bool connected, double scale, QWidget *parent = nullptr);
    ~KxAboutDlgInnerWidget() override;

    /// Enables the check button when connected.
    void setCheckEnabled(bool connected);

    /// The object added under "style" to the version-check answer.
    static QJsonObject styleObject();
    /// The version-check request: "versionInfoFilePath", "openAfterInstall".
    static QJsonObject requestObject();
    /// Whether the updater program "NorviSoftwareUpdate" runs (process table).
    static bool isUpdaterRunning();

public slots:
    void slotCheckUpdate();
    void slotCheckUpDate(QJsonObject jobj);
    void slotUpdateError(ErrorInfo einfo);

private:
    KxAboutDlgInnerWidgetPrivate *m_pData;
};

class KxAboutDlg : public KxPromptDlgShell {
    Q_OBJECT
public:
    KxAboutDlg(const bool &connected, const QString &title, double *scale, QWidget *parent = nullptr);

public slots:
    void onNetworkStatusChanged(const bool &connected);
};
