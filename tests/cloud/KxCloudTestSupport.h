#pragma once
// Shared set-up of the cloud module tests: a private devcloud on loopback,
// the process-wide network manager pointed at it, a cloud module with a
// recording callback, real MPEG-TS segments made once by the ffmpeg program,
// and a capture of the module's log lines.

#include "IKxModuleClound.h"
#include "KxDevCloudFixture.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

class IKxNetWorkManager;
class KxModuleClound;

/// Collects every Qt message of the process while it exists (thread-safe),
/// and still hands them to the handler installed before it.
class KxLogCapture {
public:
    KxLogCapture();
    ~KxLogCapture();
    QStringList lines() const;
    /// Lines containing all of the given parts.
    int count(const QStringList &parts) const;
    bool contains(const QStringList &parts) const { return count(parts) > 0; }
    void clear();
};

/// Remembers every callback of the cloud module (main thread only).
class KxCloudCallbackLog : public IKxModuleClound::ICallBack {
public:
    void error(int code, const QString &description) override { errors.append({code, description}); }
    void onStoped() override {}
    void netStatusChanged(bool isOnline) override { net.append(isOnline); }
    void uploadStatusChanged(const QList<UploadProgress> &progress) override { reports.append(progress); }
    void onQRCodeReceived(const QString &file, const QString &qrcode) override
    {
        qrFiles.append(file);
        qrCodes.append(qrcode);
    }

    QList<QPair<int, QString>> errors;
    QList<bool> net;
    QList<QList<UploadProgress>> reports;
    QStringList qrFiles;
    QStringList qrCodes;
};

/// Real TS segments (1 s of 320x240 test picture and a sine tone each),
/// made once per process.
class KxSegmentSource {
public:
    /// The folder of the generated segments seg000.ts ..., or empty (with a
    /// reason) when ffmpeg is missing or failed.
    static QString folder(QString *why = nullptr);
    static int count();
    /// Copies segment i into dir as "<key>.<i>.ts" (i three digits) and
    /// returns the copy's path.
    static QString copyTo(const QString &dir, const QString &key, int i);
};

/// One journal entry helpers.
QJsonObject kxParams(const QJsonValue &entry);

/// Base of the cloud module tests. One devcloud per test program; a fresh
/// network manager, cloud module and work folder for every test.
class KxCloudTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    /// Extra "Key=value" lines of the Cloud group for this test program.
    static QStringList s_extraIni;

    void SetUp() override;
    void TearDown() override;

    /// A fresh network manager, module and callback log reading that
    /// version.ini (SetUp reads the suite's).
    void useVersionIni(const QString &ini);
    void dropModule();
    /// start(key, name) and, when waitForShare, waits for the share text.
    bool startRecording(const QString &key, const QString &name, bool waitForShare = true);
    /// The copy of segment i for the key, in this test's segment folder.
    QString segment(const QString &key, int i);
    /// Offers files from a thread of its own, as the writer thread does.
    void offerVideoFromThread(const QStringList &paths, double duration);
    /// Requests of one method whose path starts with prefix, in order.
    QJsonArray requests(const QString &method, const QString &pathPrefix) const;
    /// PUT paths (storage/<bucket>/...) in journal order.
    QStringList putPaths() const;
    /// Waits until every request in the journal has been answered (its
    /// body read and its entry complete).
    bool waitJournalSettled(int ms) const;
    /// Waits until count completion notices have reached the service and
    /// been answered. The module forgets a task when it sends the notice,
    /// which can be before the service has even read the request.
    bool waitNoticesAnswered(int count, int ms) const;
    /// Waits until the module has no task left.
    bool waitNoTask(int ms);
    /// Expected playlist text for (duration, remote path) pairs.
    static QByteArray playlistText(const QList<QPair<double, QString>> &segments);
    /// The remote path of a PUT path ("storage/bucket/X" -> "/X").
    static QString remoteOf(const QString &putPath);

    static std::unique_ptr<KxDevCloud> s_cloud;
    static QString s_ini;
    static QString s_bucket;

    IKxNetWorkManager *m_net = nullptr;
    KxModuleClound *m_module = nullptr;
    KxCloudCallbackLog m_cb;
    std::unique_ptr<KxLogCapture> m_log;
    QString m_work;
    QString m_segDir;
};
