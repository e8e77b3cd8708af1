#pragma once
// The program's settings files and the small rules that main applies at
// start-up: where version.ini and config.ini are, what version.ini holds,
// the installation identity, the translation file and the interface scale.
//
// Every function here may be called from any thread; none keeps state.
// Files that are missing, empty, unreadable or hold garbage never fail a
// call: the defaults below apply.

#include <QLocale>
#include <QString>

namespace KxAppPaths {
/// The file named by $KX_VERSION_INI, else "version.ini" beside the program.
QString versionIniPath();
/// $XDG_DATA_HOME/Tolvane/NorviMerioShare ($XDG_DATA_HOME defaults to
/// ~/.local/share; a relative value is ignored, as the XDG rules say).
QString programDataPath();
/// programDataPath() + "/Config/config.ini".
QString configIniPath();
/// programDataPath() + "/Log": the log folder when version.ini names none.
QString defaultLogPath();
}  // namespace KxAppPaths

/// What version.ini tells the program.
struct KxVersionInfo {
    bool needLog = false;  ///< "Log/NeedLog" is 1
    QString logPath;       ///< "Log/Path"; KxAppPaths::defaultLogPath() when absent or blank
    QString logLevel = QStringLiteral("Debug");  ///< "Log/Level", read and not used
    QString appKey;        ///< "versionInformation/appKey"
    QString appName;       ///< "versionInformation/appName"
    QString version;       ///< "versionInformation/version"
    int uploadSize = 0;    ///< "versionInformation/uploadSize"; 0 when not a number

    /// Reads the file now (UTF-8).
    static KxVersionInfo read(const QString &path);
};

/// The installation's identity kept in configIniPath ("Config/UUID"): 32
/// hexadecimal digits. A stored value of that form is returned as it is;
/// otherwise (no file, no key, an empty or malformed value) a new identity is
/// written and returned. The folder is created when missing. When the file
/// cannot be written the new identity is still returned (and a warning
/// logged), so such an installation gets a new identity at every start.
QString kxInstallationIdentity(const QString &configIniPath);

/// The interface scale for a primary screen of this width in pixels: 2 from
/// 3840 on, 0.8 up to 1024, else 1.
double kxScaleFactorForWidth(int width);

/// The translation file for the program in appDir: the folder
/// appDir + "/Environment/", or when that does not exist appDir followed
/// directly by "../../../Environment/" (a build tree beside the sources),
/// then "translations/NorviMerioShare_zh_CN.qm" for a Chinese system and
/// "translations/NorviMerioShare_en.qm" for any other language. The result
/// is absolute and cleaned.
QString kxTranslationFilePath(const QString &appDir, QLocale::Language systemLanguage);
