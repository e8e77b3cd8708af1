#pragma once
// The start-up steps that every process recording the way the program does
// takes (the program's main and the headless tools): the message pattern,
// the network manager and the installation identity published as
// application properties, and the translation.
//
// Main thread, after the application object exists.

#include "KxAppSettings.h"

class IKxNetWorkManager;
class QTranslator;

/// The Qt message pattern of the program's console output.
QString kxMessagePattern();

/// Gets the process-wide network manager (KxNetrelay::getInst, no parent),
/// stores it in the application property "IKxNetWorkManager" and hands the
/// application information and upload size of info to its action reporter.
/// The caller decides who owns the manager's QObject.
IKxNetWorkManager *kxPublishNetworkManager(const KxVersionInfo &info);

/// Reads or creates the installation identity in KxAppPaths::configIniPath()
/// and stores it in the application property "app_uuid"; returns it.
QString kxPublishInstallationIdentity();

/// Loads the translation file of kxTranslationFilePath for the program's
/// folder and the system's language and installs it. The caller owns the
/// result (remove it from the application before deleting it). A missing
/// file leaves the untranslated ids on screen.
QTranslator *kxInstallTranslation();
