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
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

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

std::unique_ptr<QQuickView> showPopover(AppViewModel *vm) {
    auto view = std::make_unique<QQuickView>();
    view->setInitialProperties({{QStringLiteral("vm"), QVariant::fromValue(vm)}});
    view->setResizeMode(QQuickView::SizeViewToRootObject);
    view->setColor(Qt::black);
    view->setSource(TolvexUi::popoverViewUrl());
    if (view->status() != QQuickView::Ready) {
        for (const QQmlError &error : view->errors())
            qWarning().noquote() << error.toString();
        return nullptr;
    }
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get()))
        return nullptr;
    // Layouts settle in a polish pass or two after the first frame.
    QTest::qWait(100);
    return view;
}

// The colour drawn at a point given in the window's own (logical) coordinates.
QColor pixelAt(const QImage &image, QPointF logical) {
    const qreal ratio = image.devicePixelRatio();
    return image.pixelColor(qRound(logical.x() * ratio), qRound(logical.y() * ratio));
}

bool near(const QColor &seen, const QColor &expected, int tolerance) {
    return qAbs(seen.red() - expected.red()) <= tolerance &&
           qAbs(seen.green() - expected.green()) <= tolerance &&
           qAbs(seen.blue() - expected.blue()) <= tolerance;
}

QByteArray describe(const QColor &color) {
    return color.name().toLatin1();
}

// A point of a button's fill above its label and clear of its rounded corners, in window
// coordinates.
QPointF fillPointOf(QQuickItem *item) {
    return item->mapToScene(QPointF(item->width() / 2, 4));
}

const std::map<Scene, QString> sceneNames = {
    {Scene::signIn, QStringLiteral("sign-in")},
    {Scene::signInWaiting, QStringLiteral("sign-in-waiting")},
    {Scene::signInTimedOut, QStringLiteral("sign-in-timed-out")},
    {Scene::idle, QStringLiteral("idle")},
    {Scene::recording, QStringLiteral("recording")},
    {Scene::uploadingUnknown, QStringLiteral("uploading-unknown")},
    {Scene::uploadingPartway, QStringLiteral("uploading-partway")},
    {Scene::errorWithFile, QStringLiteral("error-with-file")},
    {Scene::errorWithoutFile, QStringLiteral("error-without-file")},
};

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
    void footerLinksOpenTheirAddressesFromTheirTextOnly();
    void logoutTakesClicksOnItsTextOnly();
    void startAndLogoutWaitWhileBusy();
    void hiddenPopoverRunsNoTimerOrAnimation_data();
    void hiddenPopoverRunsNoTimerOrAnimation();
    void cleanupTestCase();

private:
    QList<QUrl> m_opened;
    std::map<Scene, QImage> m_shots;
};

void ScreensTest::initTestCase() {
    TolvexUi::registerTypes();
    QVERIFY(QDir().mkpath(QCoreApplication::applicationDirPath() + QStringLiteral("/screens")));
}

void ScreensTest::everyStateIsDrawnInTheTheme_data() {
    QTest::addColumn<Scene>("scene");
    for (const auto &[scene, name] : sceneNames)
        QTest::newRow(qPrintable(name)) << scene;
}

void ScreensTest::everyStateIsDrawnInTheTheme() {
    QFETCH(Scene, scene);
    Stage stage;
    QVERIFY(stage.reach(scene));
    const std::unique_ptr<QQuickView> view = showPopover(stage.vm.get());
    QVERIFY(view);
    QQuickItem *root = view->rootObject();
    auto *screen = root->property("screen").value<QQuickItem *>();
    QQuickItem *footer = findItem(root, QStringLiteral("footer"));
    QVERIFY(screen && footer);

    QImage shot = view->grabWindow();
    const qreal ratio = view->effectiveDevicePixelRatio();
    // The software renderer hands back device pixels without saying how many per point.
    shot.setDevicePixelRatio(ratio);
    const QString file = QStringLiteral("%1/screens/%2@%3x.png")
                             .arg(QCoreApplication::applicationDirPath(), sceneNames.at(scene))
                             .arg(ratio);
    QVERIFY(shot.save(file));
    m_shots[scene] = shot;

    // 300 wide at any ratio, as tall as the screen and the footer.
    QCOMPARE(root->width(), 300.0);
    QCOMPARE(shot.width(), qRound(300 * ratio));
    QCOMPARE(root->height(), screen->height() + footer->height());
    QCOMPARE(shot.height(), qRound(root->height() * ratio));

    // The gradient runs from indigo at the screen's top-left to violet at its bottom-right.
    const QColor topLeft = pixelAt(shot, {1, 1});
    const QColor bottomRight = pixelAt(shot, {298, screen->height() - 2});
    QVERIFY2(near(topLeft, indigo, 4), describe(topLeft));
    QVERIFY2(near(bottomRight, violet, 4), describe(bottomRight));

    // The footer lies under the screen over the full width, the same in every state.
    QCOMPARE(footer->y(), screen->height());
    QCOMPARE(footer->width(), 300.0);
    const QColor footerLeft = pixelAt(shot, {1, footer->y() + 2});
    const QColor footerRight = pixelAt(shot, {298, root->height() - 2});
    QVERIFY2(near(footerLeft, footerDark, 1), describe(footerLeft));
    QVERIFY2(near(footerRight, footerDark, 1), describe(footerRight));
    QStringList links;
    for (const char *name : {"webSiteLink", "supportLink", "feedbackLink"}) {
        QQuickItem *link = findItem(footer, QLatin1String(name));
        QVERIFY(link && link->isVisible());
        links << link->property("text").toString();
    }
    QCOMPARE(links, QStringList({QStringLiteral("Сайт"), QStringLiteral("Поддержка"),
                                 QStringLiteral("Вопросы и предложения")}));

    // The screen of the state, with the fill of its main button.
    const char *screenType = nullptr;
    const char *buttonName = nullptr;
    QColor fill;
    switch (scene) {
    case Scene::signIn:
    case Scene::signInWaiting:
    case Scene::signInTimedOut:
        screenType = "LoginView";
        buttonName = "signInButton";
        fill = white;
        break;
    case Scene::idle:
        screenType = "IdleView";
        buttonName = "startButton";
        fill = green;
        break;
    case Scene::recording:
        screenType = "RecordingView";
        buttonName = "stopButton";
        fill = red;
        break;
    case Scene::uploadingUnknown:
    case Scene::uploadingPartway:
        screenType = "UploadingView";
        break;
    case Scene::errorWithFile:
    case Scene::errorWithoutFile:
        screenType = "ErrorView";
        buttonName = "retryButton";
        fill = green;
        break;
    }
    QVERIFY2(QByteArray(screen->metaObject()->className()).startsWith(screenType),
             screen->metaObject()->className());
    if (buttonName != nullptr) {
        QQuickItem *button = findItem(screen, QLatin1String(buttonName));
        QVERIFY2(button && button->isVisible(), buttonName);
        const QColor seen = pixelAt(shot, fillPointOf(button));
        QVERIFY2(near(seen, fill, 2), describe(seen));
    }
}

void ScreensTest::footerLinksOpenTheirAddressesFromTheirTextOnly() {
    Stage stage;
    QVERIFY(stage.reach(Scene::idle));
    const std::unique_ptr<QQuickView> view = showPopover(stage.vm.get());
    QVERIFY(view);
    QQuickItem *footer = findItem(view->rootObject(), QStringLiteral("footer"));
    QVERIFY(footer);

    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    m_opened.clear();
    // Between the links lies only the dark bar.
    const QPointF beside = footer->mapToScene(QPointF(footer->width() / 2, 2));
    QTest::mouseClick(view.get(), Qt::LeftButton, {}, beside.toPoint());
    QVERIFY(m_opened.isEmpty());
    for (const char *name : {"webSiteLink", "supportLink", "feedbackLink"}) {
        QQuickItem *link = findItem(footer, QLatin1String(name));
        QVERIFY(link);
        const QPointF centre = link->mapToScene(QPointF(link->width() / 2, link->height() / 2));
        QTest::mouseClick(view.get(), Qt::LeftButton, {}, centre.toPoint());
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    QCOMPARE(m_opened, QList<QUrl>({QUrl(QStringLiteral(TOLVEX_TEST_WEB_SITE_URL)),
                                    QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL)),
                                    QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL))}));
}

void ScreensTest::logoutTakesClicksOnItsTextOnly() {
    Stage stage;
    QVERIFY(stage.reach(Scene::idle));
    const std::unique_ptr<QQuickView> view = showPopover(stage.vm.get());
    QVERIFY(view);
    QQuickItem *bar = findItem(view->rootObject(), QStringLiteral("logoutButton"));
    QVERIFY(bar);

    QTest::mouseClick(view.get(), Qt::LeftButton, {},
                      bar->mapToScene(QPointF(12, bar->height() / 2)).toPoint());
    QTest::qWait(50);
    QCOMPARE(stage.vm->stateCase(), AppState::Case::idle);

    // No confirmation: the sign-in screen comes at once.
    QTest::mouseClick(view.get(), Qt::LeftButton, {},
                      bar->mapToScene(QPointF(bar->width() / 2, bar->height() / 2)).toPoint());
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
    QVERIFY(stage.reach(Scene::idle));
    const std::unique_ptr<QQuickView> view = showPopover(stage.vm.get());
    QVERIFY(view);
    QQuickItem *start = findItem(view->rootObject(), QStringLiteral("startButton"));
    QQuickItem *logout = findItem(view->rootObject(), QStringLiteral("textButton"));
    QVERIFY(start && logout);
    QVERIFY(start->isEnabled() && logout->isEnabled());

    const QPoint startCentre =
        start->mapToScene(QPointF(start->width() / 2, start->height() / 2)).toPoint();
    QTest::mouseClick(view.get(), Qt::LeftButton, {}, startCentre);
    QVERIFY(stage.vm->isBusy());
    QTRY_VERIFY(!start->isEnabled());
    QVERIFY(!logout->isEnabled());
    // A second click and a sign-out while the start runs change nothing.
    QTest::mouseClick(view.get(), Qt::LeftButton, {}, startCentre);
    QTest::mouseClick(
        view.get(), Qt::LeftButton, {},
        logout->mapToScene(QPointF(logout->width() / 2, logout->height() / 2)).toPoint());
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
    QVERIFY(stage.reach(scene));
    const std::unique_ptr<QQuickView> view = showPopover(stage.vm.get());
    QVERIFY(view);
    auto *screen = view->rootObject()->property("screen").value<QQuickItem *>();
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
    view->hide();
    QTRY_COMPARE(runningCount(), 0);
    view->show();
    QTRY_COMPARE(runningCount(), found.size());
}

void ScreensTest::cleanupTestCase() {
    if (qEnvironmentVariable("TOLVEX_WRITE_DOCS") != QLatin1String("1"))
        return;
    const QList<Scene> shown = {Scene::signIn, Scene::idle, Scene::recording,
                                Scene::uploadingPartway, Scene::errorWithFile};
    constexpr int gap = 24;
    int width = gap;
    int height = 0;
    for (Scene scene : shown) {
        const QImage &shot = m_shots[scene];
        if (shot.isNull() || shot.devicePixelRatio() != 2.0)
            QSKIP("docs/screens.png is drawn from a run at device pixel ratio 2");
        width += shot.width() + gap;
        height = std::max(height, shot.height());
    }
    QImage sheet(width, height + 2 * gap, QImage::Format_ARGB32);
    sheet.fill(QColor(0xe5, 0xe7, 0xeb));
    QPainter painter(&sheet);
    int x = gap;
    for (Scene scene : shown) {
        QImage shot = m_shots[scene];
        shot.setDevicePixelRatio(1);
        painter.drawImage(x, gap, shot);
        x += shot.width() + gap;
    }
    painter.end();
    QVERIFY(sheet.save(QStringLiteral(TOLVEX_TEST_SOURCE_DIR "/docs/screens.png")));
}

QTEST_MAIN(ScreensTest)
#include "tst_screens.moc"
