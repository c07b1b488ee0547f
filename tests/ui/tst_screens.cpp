// Every state of a real view model, driven through its seams (a scripted service on loopback,
// a scripted recorder), drawn offscreen at the device pixel ratio the test runs with
// (QT_SCALE_FACTOR), saved as PNG beside the test and checked for the theme's colours.
// With TOLVEX_WRITE_DOCS=1 at ratio 2 the five screens are also put side by side into
// docs/screens.png.

#include "AppViewModel.h"
#include "ControlTestDoubles.h"
#include "ScriptedRecorder.h"
#include "StalledUploadService.h"
#include "TolvexUi.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace {

enum class Scene {
    signIn,
    signInWaiting,
    signInTimedOut,
    idle,
    recording,
    uploadingUnknown,
    uploadingPartway,
    errorWithFile,
    errorWithoutFile,
};

const QColor indigo(0x63, 0x66, 0xf1);
const QColor violet(0x8b, 0x5c, 0xf6);
const QColor footerDark(0x11, 0x18, 0x27);
const QColor green(0x3d, 0x9b, 0x5c);
const QColor red(0xb5, 0x45, 0x45);
const QColor white(0xff, 0xff, 0xff);

// One view model brought into one state, with everything it talks to.
struct Stage {
    ServiceScript script;
    TestHttpServer server;
    StalledUploadService stalled;
    ScriptedRecorder recorder;
    QTemporaryDir folder;
    std::shared_ptr<RecordingLinkOpener> opener = std::make_shared<RecordingLinkOpener>();
    std::unique_ptr<AppViewModel> vm;
    std::unique_ptr<QQuickView> view;

    Stage() {
        server.setHandler([this](const RecordedRequest &r) { return script.answer(r); });
    }

    ~Stage() {
        // A flow still running would outlive the recorder and the service it uses.
        stalled.release();
        if (vm && !QTest::qWaitFor([&] { return !vm->isBusy(); }, 10000))
            qWarning("the view model was still busy when the test ended");
    }

    void make(const QString &baseUrl, std::optional<QString> token,
              std::chrono::milliseconds pollInterval = 60s) {
        vm = std::make_unique<AppViewModel>(
            AppViewModel::Seams{baseUrl, std::make_shared<MemoryTokenStore>(std::move(token)),
                                opener, pollInterval, &recorder});
    }

    bool waitFor(AppState::Case stateCase) {
        return QTest::qWaitFor([&] { return vm->stateCase() == stateCase; }, 10000);
    }

    bool idleAt(const QString &baseUrl) {
        make(baseUrl, QStringLiteral("token-1"));
        return waitFor(AppState::Case::idle);
    }

    bool recordingAt(const QString &baseUrl) {
        if (!idleAt(baseUrl))
            return false;
        vm->beginRecording();
        return waitFor(AppState::Case::recording) && QTest::qWaitFor([&] { return !vm->isBusy(); });
    }

    QString recordingFile(qint64 size) {
        QFile file(folder.filePath(QStringLiteral("recording.m4a")));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
            return {};
        return file.fileName();
    }

    bool reach(Scene scene) {
        switch (scene) {
        case Scene::signIn:
            make(server.baseUrl(), std::nullopt);
            return vm->stateCase() == AppState::Case::notLoggedIn;
        case Scene::signInWaiting:
            script.pushStart(answers::start(QStringLiteral("nonce-1"), 600));
            make(server.baseUrl(), std::nullopt);
            vm->startTelegramLogin();
            return QTest::qWaitFor([&] { return opener->opened.size() == 1; }) &&
                   vm->isPollingAuth();
        case Scene::signInTimedOut:
            // One second of validity allows no poll at all: the first firing gives up.
            script.pushStart(answers::start(QStringLiteral("nonce-1"), 1));
            make(server.baseUrl(), std::nullopt, 20ms);
            vm->startTelegramLogin();
            return QTest::qWaitFor([&] { return vm->authTimedOut() && !vm->isPollingAuth(); });
        case Scene::idle:
            return idleAt(server.baseUrl());
        case Scene::recording:
            return recordingAt(server.baseUrl());
        case Scene::uploadingUnknown:
            // The recorder takes its time to finish: the amount to send is not known yet.
            recorder.stopDelay = 1500ms;
            if (!recordingAt(server.baseUrl()))
                return false;
            vm->finishRecording();
            return waitFor(AppState::Case::uploading) &&
                   vm->uploadProgress() == AppViewModel::unknownProgress;
        case Scene::uploadingPartway:
            // Several times what the loopback's socket buffers take in before the sender has
            // to wait, and small enough for the bar to show how far it came.
            recorder.handBack(recordingFile(16 * 1024 * 1024));
            if (recorder.recorded->filePath.isEmpty() || !recordingAt(stalled.baseUrl()))
                return false;
            vm->finishRecording();
            // Settled once the service holds the upload and the part sent has stopped growing
            // for a while.
            return QTest::qWaitFor(
                [&, last = -1.0, still = 0]() mutable {
                    const double now = vm->uploadProgress();
                    still = now == last ? still + 1 : 0;
                    last = now;
                    QTest::qWait(100);
                    return stalled.holdingUpload() && now > 0 && now < 1 && still >= 5;
                },
                15000);
        case Scene::errorWithFile:
            recorder.handBack(recordingFile(4096));
            script.pushUpload(answers::notJson(500));
            if (recorder.recorded->filePath.isEmpty() || !recordingAt(server.baseUrl()))
                return false;
            vm->finishRecording();
            return waitFor(AppState::Case::uploadError) && vm->hasRecordedFile();
        case Scene::errorWithoutFile:
            script.pushMeeting(answers::notJson(500));
            if (!idleAt(server.baseUrl()))
                return false;
            vm->beginRecording();
            return waitFor(AppState::Case::uploadError) && !vm->hasRecordedFile();
        }
        return false;
    }

    // Brings the view model into `scene` and shows the popover on it.
    bool show(Scene scene);
};

QQuickItem *findItem(QQuickItem *item, const QString &name) {
    if (item == nullptr)
        return nullptr;
    if (item->objectName() == name)
        return item;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

bool Stage::show(Scene scene) {
    if (!reach(scene))
        return false;
    view = std::make_unique<QQuickView>();
    view->setInitialProperties({{QStringLiteral("vm"), QVariant::fromValue(vm.get())}});
    view->setResizeMode(QQuickView::SizeViewToRootObject);
    view->setColor(Qt::black);
    view->setSource(TolvexUi::popoverViewUrl());
    if (view->status() != QQuickView::Ready) {
        for (const QQmlError &error : view->errors())
            qWarning().noquote() << error.toString();
        return false;
    }
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get()))
        return false;
    // Layouts settle in a polish pass or two after the first frame.
    QTest::qWait(100);
    return true;
}

// A click at `local` in the item's own coordinates, its centre if not given.
void click(QQuickView *view, QQuickItem *item, std::optional<QPointF> local = {}) {
    const QPointF at = local.value_or(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(view, Qt::LeftButton, {}, item->mapToScene(at).toPoint());
}

// Whether the colour drawn at a point in the window's own (logical) coordinates is within
// `tolerance` of `expected` in each channel; says what is there instead when it is not.
bool drawnNear(const QImage &image, QPointF logical, const QColor &expected, int tolerance) {
    const qreal ratio = image.devicePixelRatio();
    const QColor seen = image.pixelColor(qRound(logical.x() * ratio), qRound(logical.y() * ratio));
    if (qAbs(seen.red() - expected.red()) <= tolerance &&
        qAbs(seen.green() - expected.green()) <= tolerance &&
        qAbs(seen.blue() - expected.blue()) <= tolerance)
        return true;
    qWarning() << "at" << logical << "drawn" << seen.name() << "instead of" << expected.name();
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Scene)

class ScreensTest : public QObject {
    Q_OBJECT

public slots:
    // Takes the footer's links instead of a browser.
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase();
    void everyStateIsDrawnInTheTheme_data();
    void everyStateIsDrawnInTheTheme();
    void footerLinksOpenTheirAddressesAndSignOutIsImmediate();
    void startAndLogoutWaitWhileBusy();
    void hiddenPopoverRunsNoTimerOrAnimation_data();
    void hiddenPopoverRunsNoTimerOrAnimation();
    void cleanupTestCase();

private:
    QList<QUrl> m_opened;
    // By the name of the state drawn.
    std::map<QString, QImage> m_shots;
};

void ScreensTest::initTestCase() {
    TolvexUi::registerTypes();
    QVERIFY(QDir().mkpath(QCoreApplication::applicationDirPath() + QStringLiteral("/screens")));
}

void ScreensTest::everyStateIsDrawnInTheTheme_data() {
    QTest::addColumn<Scene>("scene");
    // The screen of the state, with its main button and that button's fill.
    QTest::addColumn<QString>("screenType");
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<QColor>("fill");
    const auto row = [](const char *name, Scene scene, const char *screenType,
                        const char *buttonName = "", const QColor &fill = {}) {
        QTest::newRow(name) << scene << QString::fromLatin1(screenType)
                            << QString::fromLatin1(buttonName) << fill;
    };
    row("sign-in", Scene::signIn, "LoginView", "signInButton", white);
    row("sign-in-waiting", Scene::signInWaiting, "LoginView", "signInButton", white);
    row("sign-in-timed-out", Scene::signInTimedOut, "LoginView", "signInButton", white);
    row("idle", Scene::idle, "IdleView", "startButton", green);
    row("recording", Scene::recording, "RecordingView", "stopButton", red);
    row("uploading-unknown", Scene::uploadingUnknown, "UploadingView");
    row("uploading-partway", Scene::uploadingPartway, "UploadingView");
    row("error-with-file", Scene::errorWithFile, "ErrorView", "retryButton", green);
    row("error-without-file", Scene::errorWithoutFile, "ErrorView", "retryButton", green);
}

void ScreensTest::everyStateIsDrawnInTheTheme() {
    QFETCH(Scene, scene);
    QFETCH(QString, screenType);
    QFETCH(QString, buttonName);
    QFETCH(QColor, fill);
    Stage stage;
    QVERIFY(stage.show(scene));
    QQuickItem *root = stage.view->rootObject();
    auto *screen = root->property("screen").value<QQuickItem *>();
    QQuickItem *footer = findItem(root, QStringLiteral("footer"));
    QVERIFY(screen && footer);

    QImage shot = stage.view->grabWindow();
    const qreal ratio = stage.view->effectiveDevicePixelRatio();
    // The software renderer hands back device pixels without saying how many per point.
    shot.setDevicePixelRatio(ratio);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QVERIFY(shot.save(QStringLiteral("%1/screens/%2@%3x.png")
                          .arg(QCoreApplication::applicationDirPath(), name)
                          .arg(ratio)));
    m_shots[name] = shot;

    // 300 wide at any ratio, as tall as the screen and the footer.
    QCOMPARE(root->width(), 300.0);
    QCOMPARE(shot.width(), qRound(300 * ratio));
    QCOMPARE(root->height(), screen->height() + footer->height());
    QCOMPARE(shot.height(), qRound(root->height() * ratio));

    // The gradient runs from indigo at the screen's top-left to violet at its bottom-right.
    QVERIFY(drawnNear(shot, {1, 1}, indigo, 4));
    QVERIFY(drawnNear(shot, {298, screen->height() - 2}, violet, 4));

    // The footer lies under the screen over the full width, the same in every state.
    QCOMPARE(footer->y(), screen->height());
    QCOMPARE(footer->width(), 300.0);
    QVERIFY(drawnNear(shot, {1, footer->y() + 2}, footerDark, 1));
    QVERIFY(drawnNear(shot, {298, root->height() - 2}, footerDark, 1));
    QStringList links;
    for (const char *link : {"webSiteLink", "supportLink", "feedbackLink"}) {
        QQuickItem *item = findItem(footer, QLatin1String(link));
        QVERIFY(item && item->isVisible());
        links << item->property("text").toString();
    }
    QCOMPARE(links, QStringList({QStringLiteral("Сайт"), QStringLiteral("Поддержка"),
                                 QStringLiteral("Вопросы и предложения")}));

    QVERIFY2(QByteArray(screen->metaObject()->className()).startsWith(screenType.toLatin1()),
             screen->metaObject()->className());
    if (!buttonName.isEmpty()) {
        QQuickItem *button = findItem(screen, buttonName);
        QVERIFY2(button && button->isVisible(), qPrintable(buttonName));
        // Above the label, clear of the rounded corners.
        QVERIFY(drawnNear(shot, button->mapToScene(QPointF(button->width() / 2, 4)), fill, 2));
    }
}

void ScreensTest::footerLinksOpenTheirAddressesAndSignOutIsImmediate() {
    Stage stage;
    QVERIFY(stage.show(Scene::idle));
    QQuickView *view = stage.view.get();
    QQuickItem *footer = findItem(view->rootObject(), QStringLiteral("footer"));
    QQuickItem *logout = findItem(view->rootObject(), QStringLiteral("logoutButton"));
    QVERIFY(footer && logout);

    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    m_opened.clear();
    // Between the links lies only the dark bar.
    click(view, footer, QPointF(footer->width() / 2, 2));
    QVERIFY(m_opened.isEmpty());
    for (const char *name : {"webSiteLink", "supportLink", "feedbackLink"}) {
        QQuickItem *link = findItem(footer, QLatin1String(name));
        QVERIFY(link);
        click(view, link);
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(m_opened, QList<QUrl>({QUrl(QStringLiteral(TOLVEX_TEST_WEB_SITE_URL)),
                                    QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL)),
                                    QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL))}));

    // No confirmation: the sign-in screen comes at once.
    click(view, logout);
    QCOMPARE(stage.vm->stateCase(), AppState::Case::notLoggedIn);
    QTRY_VERIFY(findItem(view->rootObject(), QStringLiteral("signInButton")));
}

void ScreensTest::startAndLogoutWaitWhileBusy() {
    Stage stage;
    // The service takes a while to create the meeting: the start is under way meanwhile.
    stage.script.pushMeeting([] {
        TestAnswer answer = answers::meeting(5);
        answer.delay = 800ms;
        return answer;
    }());
    QVERIFY(stage.show(Scene::idle));
    QQuickView *view = stage.view.get();
    // Watched: if the screen changed too early, the buttons are gone and the test says so.
    const QPointer<QQuickItem> start = findItem(view->rootObject(), QStringLiteral("startButton"));
    const QPointer<QQuickItem> logout = findItem(view->rootObject(), QStringLiteral("textButton"));
    QVERIFY(start && logout);
    QVERIFY(start->isEnabled() && logout->isEnabled());

    click(view, start);
    QVERIFY(stage.vm->isBusy());
    QTRY_VERIFY(start && logout && !start->isEnabled());
    QVERIFY(!logout->isEnabled());
    // A second click and a sign-out while the start runs change nothing.
    click(view, start);
    click(view, logout);
    QCOMPARE(stage.vm->stateCase(), AppState::Case::idle);

    QTRY_COMPARE_WITH_TIMEOUT(stage.vm->stateCase(), AppState::Case::recording, 5000);
    QCOMPARE(stage.recorder.starts, 1);
    QCOMPARE(requestsTo(stage.server, "/api/meetings").size(), 1);
}

void ScreensTest::hiddenPopoverRunsNoTimerOrAnimation_data() {
    QTest::addColumn<Scene>("scene");
    QTest::addColumn<QStringList>("runners");
    QTest::newRow("recording") << Scene::recording << QStringList{"elapsedTimer"};
    QTest::newRow("uploading") << Scene::uploadingUnknown
                               << QStringList{"spinnerAnimation", "sweepAnimation"};
    QTest::newRow("sign-in waiting") << Scene::signInWaiting << QStringList{"spinnerAnimation"};
}

void ScreensTest::hiddenPopoverRunsNoTimerOrAnimation() {
    QFETCH(Scene, scene);
    QFETCH(QStringList, runners);
    Stage stage;
    QVERIFY(stage.show(scene));
    auto *screen = stage.view->rootObject()->property("screen").value<QQuickItem *>();
    QVERIFY(screen);

    QList<QObject *> found;
    for (const QString &name : runners) {
        const QList<QObject *> named = screen->findChildren<QObject *>(name);
        QVERIFY2(!named.isEmpty(), qPrintable(name));
        found += named;
    }
    const auto runningCount = [&] {
        return std::count_if(found.begin(), found.end(),
                             [](QObject *o) { return o->property("running").toBool(); });
    };
    QCOMPARE(runningCount(), found.size());
    stage.view->hide();
    QTRY_COMPARE(runningCount(), 0);
    stage.view->show();
    QTRY_COMPARE(runningCount(), found.size());
}

void ScreensTest::cleanupTestCase() {
    if (qEnvironmentVariable("TOLVEX_WRITE_DOCS") != QLatin1String("1"))
        return;
    const QStringList shown = {QStringLiteral("sign-in"), QStringLiteral("idle"),
                               QStringLiteral("recording"), QStringLiteral("uploading-partway"),
                               QStringLiteral("error-with-file")};
    constexpr int gap = 24;
    int width = gap;
    int height = 0;
    for (const QString &name : shown) {
        const QImage &shot = m_shots[name];
        if (shot.isNull() || shot.devicePixelRatio() != 2.0)
            QSKIP("docs/screens.png is drawn from a run at device pixel ratio 2");
        width += shot.width() + gap;
        height = std::max(height, shot.height());
    }
    QImage sheet(width, height + 2 * gap, QImage::Format_ARGB32);
    sheet.fill(QColor(0xe5, 0xe7, 0xeb));
    QPainter painter(&sheet);
    int x = gap;
    for (const QString &name : shown) {
        QImage shot = m_shots[name];
        shot.setDevicePixelRatio(1);
        painter.drawImage(x, gap, shot);
        x += shot.width() + gap;
    }
    painter.end();
    QVERIFY(sheet.save(QStringLiteral(TOLVEX_TEST_SOURCE_DIR "/docs/screens.png")));
}

QTEST_MAIN(ScreensTest)
#include "tst_screens.moc"
