// The windows on a real X display under a real window manager (see
// with_window_manager.sh): outer heights and placement as the user sees them,
// measured on the frame the window manager draws, not on Qt's idea of it.

#include "application.h"
#include "fakes.h"
#include "form1.h"
#include "form3.h"
#include "session_rig.h"
#include "window_controls.h"
#include "window_manager.h"

#include <cstdlib>
#include <memory>
#include <QDeadlineTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QPushButton>
#include <QTest>
#include <xcb/xcb.h>

using namespace kavo;
using namespace kavo::test;

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// The outermost window the window manager put around `widget`, border
// included, in root coordinates; the widget's own window while unframed.
QRect outerFrame(QWidget* widget) {
    xcb_connection_t* c = connection();
    auto window = xcb_window_t(widget->winId());
    for (;;) {
        const Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree || tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
            break;
        window = tree->parent;
    }
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!geometry)
        return {};
    const int border = geometry->border_width;
    return {geometry->x, geometry->y, geometry->width + 2 * border, geometry->height + 2 * border};
}

bool framed(QWidget* widget) {
    return outerFrame(widget).height() > widget->height();
}

// Shown, active, and framed by the window manager: what a user first sees.
bool settled(QWidget* widget) {
    if (!QTest::qWaitForWindowActive(widget, 10000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!framed(widget) && !deadline.hasExpired())
        QTest::qWait(20);
    return framed(widget);
}

// The client height a window has when it is first shown, that is mapped.
class ShownHeight : public QObject {
  public:
    explicit ShownHeight(QWidget* widget) : m_widget(widget) { widget->installEventFilter(this); }
    int height = -1;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show && height < 0)
            height = m_widget->height();
        return false;
    }

  private:
    QWidget* m_widget;
};

constexpr int kScreenWidth = 1280, kScreenHeight = 1024;
constexpr int kCompact = 385, kExtended = 540, kConsole = 167; // 5780, 8100, 2500 twips
constexpr int kAbove = 90;                                     // 1350 twips

struct Rig : FakePlatform {
    FakeMessageBox messages;
    std::unique_ptr<Application> app;

    Rig() {
        store.setStartUp("1", "192");
        app = std::make_unique<Application>(
            Platform{port, store, clock, messages, linkedNetworkPorts()});
        app->form1().endProgram = [] {};
    }
};

} // namespace

class TestWindowManager : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(connection(), "needs the xcb platform on an X display");
        QVERIFY2(waitForWindowManager(), "the window manager did not take over the display");
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(screen.size(), QSize(kScreenWidth, kScreenHeight));
    }

    void panelShowsAtItsOuterHeightAboveTheCentre() {
        Rig rig;
        Form1& form = rig.app->form1();
        ShownHeight shown(&form);
        rig.app->start();
        QVERIFY(settled(&form));
        QTRY_COMPARE_WITH_TIMEOUT(outerFrame(&form).height(), kCompact, 5000);

        const QRect outer = outerFrame(&form);
        QVERIFY2(std::abs(outer.left() - (kScreenWidth - outer.width()) / 2) <= 1,
                 qPrintable(QStringLiteral("outer left %1").arg(outer.left())));
        QVERIFY2(std::abs(outer.top() - ((kScreenHeight - kCompact) / 2 - kAbove)) <= 1,
                 qPrintable(QStringLiteral("outer top %1").arg(outer.top())));
        QCOMPARE(form.outerHeightTwips() / 15, kCompact);
        // Where the window manager tells the frame before the window maps,
        // the window maps at its size: no second jump.
        if (framesAhead())
            QCOMPARE(shown.height + outer.height() - form.height(), kCompact);

        // Ctrl+H grows the window downwards and back; its top stays.
        QTest::keyClick(form.focusWidget(), Qt::Key_H, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(outerFrame(&form).height(), kExtended, 5000);
        QCOMPARE(outerFrame(&form).topLeft(), outer.topLeft());
        QTest::keyClick(form.focusWidget(), Qt::Key_H, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(outerFrame(&form).height(), kCompact, 5000);
        QCOMPARE(outerFrame(&form).topLeft(), outer.topLeft());
    }

    void consoleShowsAtItsOuterHeight() {
        Rig rig;
        rig.app->start();
        QVERIFY(settled(&rig.app->form1()));
        control<QPushButton>(rig.app->form1(), "Command", 74)->click(); // "COMMANDTABLE"
        Form3* console = rig.app->console();
        QVERIFY(console);
        QVERIFY(settled(console));
        QTRY_COMPARE_WITH_TIMEOUT(outerFrame(console).height(), kConsole, 5000);
        // Centred over the panel, where the window manager's frames show it
        // (both read again each try: a loaded window manager may still be
        // placing the panel's frame).
        QTRY_VERIFY_WITH_TIMEOUT(
            (outerFrame(console).center() - outerFrame(&rig.app->form1()).center())
                    .manhattanLength() <= 2,
            5000);
    }
};

QTEST_MAIN(TestWindowManager)
#include "tst_window_manager.moc"
