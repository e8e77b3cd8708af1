// The HTTP requester, the probe and the process-wide manager against a real
// devcloud on loopback: encoding of get and post, and the one signal that
// each kind of answer (or missing answer) produces.

#include "KxNetTestSupport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QPointer>
#include <QUrlQuery>

namespace {

const char *kFinish = SIGNAL(sglHttpRequestFinish(QString, QJsonObject, QString));
const char *kError = SIGNAL(sglHttpRequestError(QString, int, QString));
const char *kAuth = SIGNAL(sglHttpAuthenticateError());
const char *kConnect = SIGNAL(sglHttpConnectError());
const char *kTimeout = SIGNAL(sglhttptimeout());

// The five outcome signals of one requester, counted together.
struct RequesterSpies {
    explicit RequesterSpies(QObject *o)
        : finish(o, kFinish), error(o, kError), auth(o, kAuth), connect(o, kConnect), timeout(o, kTimeout)
    {
    }
    int total() const { return finish.count() + error.count() + auth.count() + connect.count() + timeout.count(); }
    QSignalSpy finish, error, auth, connect, timeout;
};

}  // namespace

using KxHttpRequesterTest = KxNetTest;

TEST_F(KxHttpRequesterTest, GetSendsAQueryPostSendsAFormAndAnswersNameThePath)
{
    startAll();
    IKxHttpRequester *req = mgr->httpRequester();
    RequesterSpies spies(req->qobject());

    // Characters that a naive encoder gets wrong: '+', '&', '=', spaces, UTF-8.
    const QMap<QString, QString> tricky{{QStringLiteral("type"), QStringLiteral("merioclass")},
                                        {QStringLiteral("odd"), QStringLiteral("a+b &c=d %20 ü")}};
    req->get(tricky, QStringLiteral("api/bucket/bucket"), QString(), 0);
    req->post(tricky, QStringLiteral("/api/merioclass/merioclassroom"), QStringLiteral("my-mark"), 0);
    ASSERT_TRUE(kxWaitUntil([&] { return spies.total() >= 2; }, 10000));
    ASSERT_EQ(spies.finish.count(), 2);
    EXPECT_EQ(spies.total(), 2);

    // Replies may come in either order; match them by the first argument.
    QMap<QString, QList<QVariant>> byPath;
    for (const QList<QVariant> &args : qAsConst(spies.finish))
        byPath.insert(args.at(0).toString(), args);
    ASSERT_TRUE(byPath.contains(QStringLiteral("api/bucket/bucket")));
    ASSERT_TRUE(byPath.contains(QStringLiteral("my-mark")));  // a mark replaces the path
    const QJsonObject bucket = byPath.value(QStringLiteral("api/bucket/bucket")).at(1).toJsonObject();
    EXPECT_EQ(bucket.value("data").toString(), QStringLiteral("merio-bucket"));
    EXPECT_TRUE(byPath.value(QStringLiteral("api/bucket/bucket")).at(2).toString().startsWith(cloud.url()));
    EXPECT_TRUE(byPath.value(QStringLiteral("my-mark")).at(1).toJsonObject().value("success").toBool());

    const QJsonArray gets = cloud.journalFor(QStringLiteral("api/bucket/bucket"), "GET");
    ASSERT_EQ(gets.size(), 1);
    const QJsonObject g = gets.at(0).toObject();
    EXPECT_EQ(g.value("query").toObject().value("type").toString(), QStringLiteral("merioclass"));
    EXPECT_EQ(g.value("query").toObject().value("odd").toString(), tricky.value("odd"));

    const QJsonArray posts = cloud.journalFor(QStringLiteral("api/merioclass/merioclassroom"), "POST");
    ASSERT_EQ(posts.size(), 1);
    const QJsonObject p = posts.at(0).toObject();
    EXPECT_TRUE(p.value("query").toObject().isEmpty());
    EXPECT_TRUE(p.value("contentType").toString().startsWith("application/x-www-form-urlencoded"));
    EXPECT_EQ(p.value("form").toObject().value("odd").toString(), tricky.value("odd"));
    EXPECT_EQ(p.value("form").toObject().value("type").toString(), QStringLiteral("merioclass"));
}

// One row per kind of answer: the fault devcloud injects and the signal that
// must come (exactly one signal per request).
struct OutcomeCase {
    const char *name;
    const char *kind;  // devcloud fault kind, or "stopped" for a closed port
    int status;
    int ms;
    const char *expected;  // finish, error, auth, connect, timeout
    int errorStatus;       // for "error": the status carried by the signal
};

class KxHttpOutcomeTest : public KxNetTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(KxHttpOutcomeTest, EachAnswerEndsInExactlyOneSignal)
{
    const OutcomeCase c = GetParam();
    // A short bound so the time-out row does not wait 15 s.
    startAll({QStringLiteral("RequestTimeoutMs=800")});
    RequesterSpies spies(mgr->httpRequester()->qobject());
    if (QByteArray(c.kind) == "stopped") {
        cloud.stop();
    } else if (QByteArray(c.kind) != "none") {
        // Qt sends a request again once when a kept-alive connection closes
        // without an answer, so a dropping host drops every time.
        const int count = QByteArray(c.kind) == "drop" ? -1 : 1;
        ASSERT_TRUE(cloud.addFault(QStringLiteral("api/"), QString::fromLatin1(c.kind), count, c.status, c.ms));
    }

    mgr->httpRequester()->post({{QStringLiteral("id"), QString()}}, QStringLiteral("api/merioclass/sendsure"),
                               QString(), 0);
    ASSERT_TRUE(kxWaitUntil([&] { return spies.total() >= 1; }, 10000)) << c.name;
    // Nothing more may follow (no retry, no second signal).
    kxWaitUntil([] { return false; }, 300);
    EXPECT_EQ(spies.total(), 1) << c.name;

    const QByteArray expected(c.expected);
    QSignalSpy *want = expected == "finish"  ? &spies.finish
                       : expected == "error" ? &spies.error
                       : expected == "auth"  ? &spies.auth
                       : expected == "connect" ? &spies.connect
                                               : &spies.timeout;
    ASSERT_EQ(want->count(), 1) << c.name;
    if (expected == "error") {
        EXPECT_EQ(spies.error.at(0).at(0).toString(), QStringLiteral("api/merioclass/sendsure"));
        EXPECT_EQ(spies.error.at(0).at(1).toInt(), c.errorStatus) << c.name;
        EXPECT_TRUE(spies.error.at(0).at(2).toString().endsWith(QStringLiteral("api/merioclass/sendsure")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, KxHttpOutcomeTest,
    ::testing::Values(OutcomeCase{"plain answer", "none", 0, 0, "finish", 0},
                      OutcomeCase{"success false is still an answer", "fail", 0, 0, "finish", 0},
                      OutcomeCase{"401", "status", 401, 0, "auth", 0},
                      OutcomeCase{"403", "status", 403, 0, "auth", 0},
                      OutcomeCase{"404", "status", 404, 0, "error", 404},
                      OutcomeCase{"500", "status", 500, 0, "error", 500},
                      OutcomeCase{"302 is not followed", "status", 302, 0, "error", 302},
                      OutcomeCase{"malformed JSON", "malformed", 0, 0, "error", 200},
                      OutcomeCase{"JSON array", "nonobject", 0, 0, "error", 200},
                      OutcomeCase{"closed without answer", "drop", 0, 0, "connect", 0},
                      OutcomeCase{"refused", "stopped", 0, 0, "connect", 0},
                      OutcomeCase{"slow answer", "delay", 0, 4000, "timeout", 0}),
    [](const ::testing::TestParamInfo<OutcomeCase> &info) {
        std::string n = info.param.name;
        for (char &ch : n)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

TEST_F(KxHttpRequesterTest, WithoutServerEveryRequestFailsAtOnceWithAConnectionError)
{
    const QString iniPath = cloud.scratchDir() + QStringLiteral("/version.ini");
    QFile f(iniPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Cloud]\nStorageUrl=http://127.0.0.1:9/storage/\n");
    f.close();
    makeManager(iniPath);

    RequesterSpies spies(mgr->httpRequester()->qobject());
    mgr->httpRequester()->get({}, QStringLiteral("api/bucket/bucket"), QString(), 0);
    mgr->httpRequester()->post({}, QStringLiteral("api/merioclass/merioclassroom"), QString(), 0);
    // Never from inside the call itself: the caller is not re-entered.
    EXPECT_EQ(spies.total(), 0);
    ASSERT_TRUE(kxWaitUntil([&] { return spies.total() >= 2; }, 5000));
    EXPECT_EQ(spies.connect.count(), 2);
    EXPECT_EQ(spies.total(), 2);
    EXPECT_FALSE(mgr->connectivityProbe()->isReachable(1000));
}

TEST_F(KxHttpRequesterTest, ProbeAnswersOnlyWhileTheServiceAnswers)
{
    startAll();
    IKxConnectivityProbe *probe = mgr->connectivityProbe();
    EXPECT_TRUE(probe->isReachable(3000));
    ASSERT_TRUE(cloud.setOffline(true));
    EXPECT_FALSE(probe->isReachable(3000));
    ASSERT_TRUE(cloud.setOffline(false));
    EXPECT_TRUE(probe->isReachable(3000));
    // A service that accepts but does not answer in time.
    ASSERT_TRUE(cloud.addFault(QString(), QStringLiteral("delay"), 1, 0, 3000));
    EXPECT_FALSE(probe->isReachable(300));
    cloud.stop();
    EXPECT_FALSE(probe->isReachable(3000));
}

TEST_F(KxHttpRequesterTest, OneManagerPerProcessUntilItIsDeleted)
{
    startAll();
    QObject parent;
    EXPECT_EQ(KxNetrelay::getInst(&parent), mgr);
    EXPECT_EQ(mgr->qobject()->parent(), nullptr);  // a later parent is ignored

    // Published as the program does it, and read back through the meta-type name.
    qApp->setProperty("IKxNetWorkManager", QVariant::fromValue(mgr));
    const QVariant v = qApp->property("IKxNetWorkManager");
    EXPECT_STREQ(v.typeName(), "IKxNetWorkManager*");
    EXPECT_EQ(v.value<IKxNetWorkManager *>(), mgr);
    qApp->setProperty("IKxNetWorkManager", QVariant());

    // The services are stable and their objects belong to the manager.
    EXPECT_EQ(mgr->uploader(), mgr->uploader());
    EXPECT_EQ(mgr->httpRequester()->qobject()->parent(), mgr->qobject());
    EXPECT_EQ(mgr->softwareUpdate()->qobject()->parent(), mgr->qobject());

    // Deleting it through a parent ends it; the next call makes a new one.
    auto *owner = new QObject;
    QPointer<QObject> old = mgr->qobject();
    mgr->qobject()->setParent(owner);
    delete owner;
    mgr = nullptr;
    EXPECT_TRUE(old.isNull());
    mgr = KxNetrelay::getInst(nullptr);
    ASSERT_NE(mgr, nullptr);
    EXPECT_TRUE(mgr->connectivityProbe()->isReachable(3000));
}
