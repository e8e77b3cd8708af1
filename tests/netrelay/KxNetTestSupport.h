#pragma once
// Shared set-up of the network library tests: a private devcloud and a
// process-wide manager configured for it, torn down after each test.

#include "IKxNetWorkManager.h"
#include "KxDevCloudFixture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSignalSpy>

#include <memory>

class KxNetTest : public ::testing::Test {
protected:
    /// Starts devcloud and a manager pointing at it; extra lines go into the
    /// Cloud group of version.ini.
    void startAll(const QStringList &extraCloudLines = {QStringLiteral("RequestTimeoutMs=5000")})
    {
        QString error;
        ASSERT_TRUE(cloud.start(&error)) << qPrintable(error);
        makeManager(cloud.writeVersionIni(extraCloudLines));
    }

    /// A manager from the given version.ini (which may lack a ServerUrl).
    void makeManager(const QString &iniPath)
    {
        kxLoadNoQtPlugins();
        ini = std::make_unique<KxScopedVersionIni>(iniPath);
        mgr = KxNetrelay::getInst(nullptr);
        ASSERT_NE(mgr, nullptr);
    }

    void TearDown() override
    {
        if (mgr)
            delete mgr->qobject();
        mgr = nullptr;
        ini.reset();
        cloud.stop();
    }

    /// Writes a file of n bytes with a recognisable pattern into the scratch folder.
    QString makeFile(const QString &name, int n)
    {
        const QString path = cloud.scratchDir() + QLatin1Char('/') + name;
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        QByteArray data(n, Qt::Uninitialized);
        quint32 x = 2166136261u ^ quint32(n);
        for (int i = 0; i < n; ++i) {
            x = x * 16777619u + 7u;
            data[i] = char(x >> 24);
        }
        f.write(data);
        return path;
    }

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    KxDevCloud cloud;
    std::unique_ptr<KxScopedVersionIni> ini;
    IKxNetWorkManager *mgr = nullptr;
};
