// Every state of a real view model on its seams, drawn offscreen at the QT_SCALE_FACTOR ratio,
// saved as PNG beside the test and checked for its screen, colours and main button's label.
// With TOLVEX_WRITE_DOCS=1 at ratio 2 five screens also go into docs/screens.png.

#include "HearingReport.h"
#include "RecordingManifest.h"
#include "TolvexUi.h"
#include "ViewModelHarness.h"

#include <QDesktopServices>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <map>

using namespace std::chrono_literals;

namespace {

const QColor indigo(0x63, 0x66, 0xf1);
const QColor violet(0x8b, 0x5c, 0xf6);
const QColor footerDark(0x11, 0x18, 0x27);
const QColor green(0x3d, 0x9b, 0x5c);
const QColor red(0xb5, 0x45, 0x45);
const QColor white(0xff, 0xff, 0xff);

// One view model brought into one state, with everything it talks to.
struct Stage : Harness {
    std::unique_ptr<QQuickView> view;

    ~Stage() {
        // A flow still running would outlive the recorder and the service it uses.
        if (vm && !QTest::qWaitFor([&] { return !vm->isBusy(); }, 10000))
            qWarning("the view model was still busy when the test ended");
    }

    void make(std::optional<QString> token, std::chrono::milliseconds pollInterval = 60s) {
        seams.tokenStore = std::make_shared<MemoryTokenStore>(std::move(token));
        seams.pollInterval = pollInterval;
        launch();
    }

    bool recording() {
        make(QStringLiteral("token-1"));
        return settlesOn(AppState::Case::idle) && startRecording();
    }

    // Brings the view model into the state a row of the table names.
    bool reach(const QByteArray &scene) {
        if (scene == "sign-in") {
            make(std::nullopt);
            return vm->stateCase() == AppState::Case::notLoggedIn;
        }
        if (scene == "sign-in-waiting") {
            script.pushStart(answers::start(QStringLiteral("nonce-1"), 600));
            make(std::nullopt);
            vm->startTelegramLogin();
            return QTest::qWaitFor([&] { return links->opened.size() == 1; }) &&
                   vm->isPollingAuth();
        }
        if (scene == "sign-in-timed-out") {
            // One second of validity allows no poll at all: the first firing gives up.
            script.pushStart(answers::start(QStringLiteral("nonce-1"), 1));
            make(std::nullopt, 20ms);
            vm->startTelegramLogin();
            return QTest::qWaitFor([&] { return vm->authTimedOut() && !vm->isPollingAuth(); });
        }
        if (scene == "sign-in-expired" || scene == "error-without-file") {
            const bool expired = scene == "sign-in-expired";
            script.pushMeeting(answers::notJson(expired ? 401 : 500));
            make(QStringLiteral("token-1"));
            if (!settlesOn(AppState::Case::idle))
                return false;
            vm->beginRecording();
            return expired ? settlesOn(AppState::Case::notLoggedIn)
                           : settlesOn(AppState::Case::uploadError) && !vm->hasRecordedFile();
        }
        if (scene == "idle") {
            make(QStringLiteral("token-1"));
            return settlesOn(AppState::Case::idle);
        }
        if (scene == "idle-unsent") {
            // A recording an earlier run left, which the service refuses for now.
            RecordingManifest manifest;
            manifest.id = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
            manifest.meetingId = 41;
            manifest.apiBaseUrl = server.baseUrl();
            manifest.startTime = QDateTime::currentDateTimeUtc();
            manifest.partFiles = {"sys_" + manifest.id + ".m4a"};
            manifest.stage = RecordingManifest::Stage::stopped;
            leaveBehind(manifest.id, manifest.toJson(), manifest.partFiles);
            RecordedAudio mixed;
            mixed.filePath = writeFile(QStringLiteral("mix.m4a"));
            recorder.mixes.push_back(mixed);
            script.pushUpload(answers::notJson(500));
            make(QStringLiteral("token-1"));
            return settlesOn(AppState::Case::idle) && QTest::qWaitFor([&] {
                       return !vm->unsentText().isEmpty() && !uploads().isEmpty();
                   });
        }
        if (scene.startsWith("recording-")) {
            // The longest lines there are, with device descriptions cut to their limit.
            const std::string device = "Встроенное аудио Аналоговый стерео";
            recorder.scriptedNotices =
                scene == "recording-device-notices"
                    ? HearingReport{{device, true, device, false, true}}.notices()
                    : HearingReport{{"", false, device, true, false}, true}.notices();
            return recording() && vm->recordingNotice().count(QLatin1Char('\n')) == 1;
        }
        // A recording, and for the rest where its stop leads.
        if (scene == "uploading") {
            // The recorder takes its time to finish: the amount to send is not known yet.
            recorder.stopDelay = 1500ms;
        } else if (scene == "error-with-file") {
            recordingFile(4096);
            script.pushUpload(answers::notJson(500));
        }
        const bool recorded = recording();
        if (!recorded || scene == "recording")
            return recorded;
        vm->finishRecording();
        if (scene == "uploading")
            return QTest::qWaitFor([&] { return vm->stateCase() == AppState::Case::uploading; });
        return settlesOn(AppState::Case::uploadError) && vm->hasRecordedFile();
    }

    // Brings the view model into `scene` and shows the popover on it.
    bool show(const QByteArray &scene) {
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

void click(QQuickView *view, QQuickItem *item) {
    const QPointF centre(item->width() / 2, item->height() / 2);
    QTest::mouseClick(view, Qt::LeftButton, {}, item->mapToScene(centre).toPoint());
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

class ScreensTest : public QObject {
    Q_OBJECT

    QList<QUrl> m_opened;
    // By the name of the state drawn.
    std::map<QString, QImage> m_shots;

public slots:
    // Takes the footer's links instead of a browser.
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase() {
        TolvexUi::registerTypes();
        QVERIFY(QDir().mkpath(QCoreApplication::applicationDirPath() + QStringLiteral("/screens")));
    }

    void everyStateIsDrawnInTheTheme_data() {
        // By the state Stage::reach() makes of the row's name: its screen, with its main button,
        // that button's fill and its label.
        QTest::addColumn<QString>("screenType");
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QColor>("fill");
        QTest::addColumn<QString>("label");
        const auto row = [](const char *name, const char *screenType, const char *buttonName = "",
                            const QColor &fill = {}, const QString &label = {}) {
            QTest::newRow(name) << QString::fromLatin1(screenType)
                                << QString::fromLatin1(buttonName) << fill << label;
        };
        const QString signIn = QStringLiteral("Войти через Telegram");
        const QString stop = QStringLiteral("Остановить");
        row("sign-in", "LoginView", "signInButton", white, signIn);
        row("sign-in-waiting", "LoginView", "signInButton", white,
            QStringLiteral("Ожидаем авторизацию..."));
        row("sign-in-timed-out", "LoginView", "signInButton", white, signIn);
        row("sign-in-expired", "LoginView", "signInButton", white, signIn);
        row("idle", "IdleView", "startButton", green, QStringLiteral("Начать запись"));
        row("idle-unsent", "IdleView", "startButton", green, QStringLiteral("Начать запись"));
        row("recording", "RecordingView", "stopButton", red, stop);
        row("recording-notices", "RecordingView", "stopButton", red, stop);
        row("recording-device-notices", "RecordingView", "stopButton", red, stop);
        row("uploading", "UploadingView");
        row("error-with-file", "ErrorView", "retryButton", green,
            QStringLiteral("Повторить загрузку"));
        row("error-without-file", "ErrorView", "retryButton", green,
            QStringLiteral("Попробовать снова"));
    }

    void everyStateIsDrawnInTheTheme() {
        QFETCH(QString, screenType);
        QFETCH(QString, buttonName);
        QFETCH(QColor, fill);
        QFETCH(QString, label);
        Stage stage;
        QVERIFY(stage.show(QTest::currentDataTag()));
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
        QCOMPARE(shot.width(), qRound(300 * ratio));
        QCOMPARE(root->height(), screen->height() + footer->height());
        QCOMPARE(shot.height(), qRound(root->height() * ratio));

        // The gradient runs from indigo at the screen's top-left to violet at its bottom-right;
        // the dark footer lies under it over the full width.
        QVERIFY(drawnNear(shot, {1, 1}, indigo, 4));
        QVERIFY(drawnNear(shot, {298, screen->height() - 2}, violet, 4));
        QVERIFY(drawnNear(shot, {1, screen->height() + 2}, footerDark, 1));
        QVERIFY(drawnNear(shot, {298, root->height() - 2}, footerDark, 1));
        QVERIFY2(QByteArray(screen->metaObject()->className()).startsWith(screenType.toLatin1()),
                 screen->metaObject()->className());
        if (!buttonName.isEmpty()) {
            QQuickItem *button = findItem(screen, buttonName);
            QVERIFY2(button && button->isVisible(), qPrintable(buttonName));
            QCOMPARE(button->property("text").toString(), label);
            // Above the label, clear of the rounded corners.
            QVERIFY(drawnNear(shot, button->mapToScene(QPointF(button->width() / 2, 4)), fill, 2));
        }
        // What cannot be heard, why the user must sign in again, or how many recordings wait, is
        // said in full, two lines at most each, and takes no room when there is nothing to say.
        for (const auto &[name, text] :
             {std::pair{QStringLiteral("noticeText"), stage.vm->recordingNotice()},
              std::pair{QStringLiteral("signInNotice"), stage.vm->uploadErrorText()},
              std::pair{QStringLiteral("unsentText"), stage.vm->unsentText()}}) {
            QQuickItem *notice = findItem(screen, name);
            if (!notice)
                continue;
            QCOMPARE(notice->isVisible(), !text.isEmpty());
            QCOMPARE(notice->property("text").toString(), text);
            QVERIFY(notice->property("lineCount").toInt() <=
                    2 * (text.count(QLatin1Char('\n')) + 1));
            QVERIFY(!notice->property("truncated").toBool());
        }

        // Nothing (clock, spinner, sweep) runs while nobody sees the popover, and all of it runs
        // again when it shows.
        const auto running = [screen] {
            const QList<QObject *> all = screen->findChildren<QObject *>();
            return std::count_if(all.begin(), all.end(),
                                 [](QObject *o) { return o->property("running").toBool(); });
        };
        const auto shown = running();
        stage.view->hide();
        QTRY_COMPARE(running(), 0);
        stage.view->show();
        QTRY_COMPARE(running(), shown);
    }

    void footerLinksOpenTheirAddressesAndSignOutIsImmediate() {
        Stage stage;
        QVERIFY(stage.show("idle"));
        QQuickView *view = stage.view.get();
        QQuickItem *footer = findItem(view->rootObject(), QStringLiteral("footer"));
        QQuickItem *logout = findItem(view->rootObject(), QStringLiteral("logoutButton"));
        QVERIFY(footer && logout);

        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        QStringList links;
        for (const char *name : {"webSiteLink", "supportLink", "feedbackLink"}) {
            QQuickItem *link = findItem(footer, QLatin1String(name));
            QVERIFY(link && link->isVisible());
            links << link->property("text").toString();
            click(view, link);
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(links, QStringList({QStringLiteral("Сайт"), QStringLiteral("Поддержка"),
                                     QStringLiteral("Вопросы и предложения")}));
        QCOMPARE(m_opened, QList<QUrl>({QUrl(QStringLiteral(TOLVEX_TEST_WEB_SITE_URL)),
                                        QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL)),
                                        QUrl(QStringLiteral(TOLVEX_TEST_SUPPORT_URL))}));

        // No confirmation: the sign-in screen comes at once.
        click(view, logout);
        QCOMPARE(stage.vm->stateCase(), AppState::Case::notLoggedIn);
        QTRY_VERIFY(findItem(view->rootObject(), QStringLiteral("signInButton")));
    }

    void cleanupTestCase() {
        if (qEnvironmentVariable("TOLVEX_WRITE_DOCS") != QLatin1String("1"))
            return;
        const QStringList shown = {QStringLiteral("sign-in"), QStringLiteral("idle"),
                                   QStringLiteral("recording-notices"), QStringLiteral("uploading"),
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
};

QTEST_MAIN(ScreensTest)
#include "tst_screens.moc"
