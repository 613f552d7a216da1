// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Soak driver behind scripts/soak.sh: the real window, offscreen, polls the board emulator
// continuously while the line suffers random faults and a user keeps clicking and typing.
// It counts exchanges and timeouts, checks every reading taken while the line is sound,
// and watches resident memory. Exit status: 0 passed, 1 failed a check, 2 bad usage,
// 3 the event loop stalled (hang).
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "session/session.h"
#include "testboard.h"
#include "window/iotestwindow.h"
#include "window/statustext.h"
#include "windowchecks.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <malloc.h>
#include <unistd.h>

namespace {

enum class Fault { Late, Short, Extra, Double, Silent, Garbage, Flood, HangUp, Reconnect, Count };
constexpr int FaultCount = int(Fault::Count);
const char *const faultNames[FaultCount] = {"late",  "short", "extra",   "double",   "silent",
                                            "noise", "flood", "hang-up", "reconnect"};

struct Options
{
    int durationS = 600;
    int warmupS = 120;
    qint64 toleranceKiB = 512;
    int reportS = 60;
    int stallLimitMs = 2000;
    quint32 seed = 0;
};

// Resident set size, with free heap pages handed back first so that only memory still in
// use counts.
qint64 residentKiB()
{
    ::malloc_trim(0);
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void print(const QString &line)
{
    std::fprintf(stdout, "soak: %s\n", qPrintable(line));
    std::fflush(stdout);
}

// Ends the process when the event loop stops turning for far longer than any exchange may
// take: a hang must not look like a long, quiet run.
class Watchdog
{
public:
    explicit Watchdog(int limitMs) : m_limitMs(limitMs), m_thread([this] { watch(); }) {}
    ~Watchdog()
    {
        m_stop = true;
        m_thread.join();
    }
    void beat() { m_lastBeat = now(); }

private:
    static qint64 now()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void watch()
    {
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const qint64 silent = now() - m_lastBeat;
            if (silent > m_limitMs) {
                std::fprintf(stdout, "soak: HANG: the event loop has not turned for %lld ms\n",
                             static_cast<long long>(silent));
                std::fflush(stdout);
                ::_exit(3);
            }
        }
    }

    const int m_limitMs;
    std::atomic<qint64> m_lastBeat{now()};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class Soak : public QObject
{
    Q_OBJECT

public:
    explicit Soak(const Options &options, QObject *parent = nullptr);
    bool start();

signals:
    void finished(int exitCode);

private:
    void nextFault();
    void startFault(Fault fault);
    void endFault();
    void afterCycle();
    void userAction();
    void connectBoard();
    void report();
    void finish();
    void conclude();
    qint64 elapsedS() const { return m_clock.elapsed() / 1000; }
    QtPtyBoard &board() { return m_board.board(); }

    const Options m_options;
    QRandomGenerator m_random;
    TestBoard m_board;
    std::unique_ptr<IoTestWindow> m_window;
    LoopWatch *m_loopWatch;
    Watchdog m_watchdog;
    QTimer *m_noise;
    QElapsedTimer m_clock;

    bool m_ending = false;
    bool m_concluded = false;
    bool m_faulty = false;
    bool m_warm = false;
    int m_nextInRound = 0; // the first round runs every fault once, in order
    qint64 m_soundSinceMs = 0;
    QString m_cycleStatus;
    std::array<quint8, 3> m_pattern{};

    qint64 m_exchanges = 0;
    qint64 m_timeouts = 0;
    qint64 m_notConnected = 0;
    qint64 m_verified = 0;
    qint64 m_wrongReadings = 0;
    qint64 m_registerMismatches = 0;
    qint64 m_viewMismatches = 0;
    qint64 m_failedReconnects = 0;
    qint64 m_userActions = 0;
    qint64 m_longestStallMs = 0;
    std::array<int, FaultCount> m_faults{};
    qint64 m_rssStart = -1;
    qint64 m_rssWarm = -1;
};

Soak::Soak(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_random(options.seed), m_board(3),
      m_loopWatch(new LoopWatch(this)), m_watchdog(qMax(10000, 5 * options.stallLimitMs)),
      m_noise(new QTimer(this))
{
    connect(m_noise, &QTimer::timeout, this, [this] {
        QByteArray bytes(m_random.bounded(1, 17), Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(m_random.bounded(256));
        board().inject(bytes);
        m_noise->setInterval(m_random.bounded(20, 80));
    });
    auto *heartbeat = new QTimer(this);
    connect(heartbeat, &QTimer::timeout, this, [this] { m_watchdog.beat(); });
    heartbeat->start(50);
}

bool Soak::start()
{
    if (!m_board.start())
        return false;
    m_window = std::make_unique<IoTestWindow>(m_board.options());
    m_window->show();
    connect(&m_window->session(), &Session::noticed, this,
            [this](Notice notice) { m_cycleStatus = statusText(notice); });
    // Connected after the window's own handler: runs once each poll cycle has ended.
    connect(m_window->timer(), &QTimer::timeout, this, &Soak::afterCycle);

    m_clock.start();
    m_rssStart = residentKiB();
    print(QStringLiteral("seed %1, %2 s, warm-up %3 s, rss at start %4 KiB")
              .arg(m_options.seed)
              .arg(m_options.durationS)
              .arg(m_options.warmupS)
              .arg(m_rssStart));
    connectBoard();
    QTest::mouseClick(m_window->control<QCheckBox>(QStringLiteral("Check1")), Qt::LeftButton);

    auto *reporter = new QTimer(this);
    connect(reporter, &QTimer::timeout, this, &Soak::report);
    reporter->start(m_options.reportS * 1000);
    auto *user = new QTimer(this);
    connect(user, &QTimer::timeout, this, [this, user] {
        userAction();
        user->setInterval(m_random.bounded(50, 400));
    });
    user->start(200);
    QTimer::singleShot(m_options.durationS * 1000, this, &Soak::finish);
    QTimer::singleShot(2000, this, &Soak::nextFault);
    return true;
}

void Soak::connectBoard()
{
    QTest::mouseClick(m_window->control(QStringLiteral("Connect")), Qt::LeftButton);
    if (m_window->session().portIsOpen() != 1)
        ++m_failedReconnects;
    m_pattern = {quint8(m_random.bounded(256)), quint8(m_random.bounded(256)),
                 quint8(m_random.bounded(256))};
    for (int p = 0; p < 3; ++p)
        board().setInputPattern(Port(p), m_pattern[p]);
    m_cycleStatus.clear();
}

void Soak::nextFault()
{
    if (m_ending)
        return;
    const Fault fault =
        m_nextInRound < FaultCount ? Fault(m_nextInRound++) : Fault(m_random.bounded(FaultCount));
    startFault(fault);
}

void Soak::startFault(Fault fault)
{
    ++m_faults[int(fault)];
    m_faulty = true;
    int lastsMs = m_random.bounded(1000, 4000);
    switch (fault) {
    case Fault::Late:
        board().setReplyDelay(m_random.bounded(150, 700));
        break;
    case Fault::Short:
        board().setReplyMode(PtyBoard::ReplyMode::Short);
        break;
    case Fault::Extra:
        board().setReplyMode(PtyBoard::ReplyMode::Extra);
        break;
    case Fault::Double:
        board().setReplyMode(PtyBoard::ReplyMode::Double);
        break;
    case Fault::Silent:
        board().setReplyMode(PtyBoard::ReplyMode::Silent);
        break;
    case Fault::Garbage:
        m_noise->start(20);
        break;
    case Fault::Flood: {
        QByteArray flood(m_random.bounded(64, 1024) * 1024, Qt::Uninitialized);
        for (char &byte : flood)
            byte = char(m_random.bounded(256));
        board().inject(flood);
        break;
    }
    case Fault::HangUp:
        // Unplugged: the next Connect fails; once plugged in again it works.
        m_board.unplug();
        QTimer::singleShot(m_random.bounded(200, 1000), this, [this] {
            QTest::mouseClick(m_window->control(QStringLiteral("Connect")), Qt::LeftButton);
            if (m_window->session().portIsOpen() != 0)
                ++m_failedReconnects; // connected to nothing
            m_cycleStatus.clear();
        });
        lastsMs += 1000;
        break;
    case Fault::Reconnect:
        connectBoard();
        lastsMs = 0;
        break;
    case Fault::Count:
        break;
    }
    QTimer::singleShot(lastsMs, this, &Soak::endFault);
}

void Soak::endFault()
{
    board().setReplyMode(PtyBoard::ReplyMode::Normal);
    board().setReplyDelay(0);
    m_noise->stop();
    if (!board().isRunning()) {
        if (!m_board.start())
            ++m_failedReconnects;
        connectBoard();
    }
    m_faulty = false;
    m_soundSinceMs = -1; // counts from when the emulator has sent all it was holding
    QTimer::singleShot(m_random.bounded(2000, 6000), this, &Soak::nextFault);
}

void Soak::afterCycle()
{
    m_longestStallMs = qMax(m_longestStallMs, m_loopWatch->longestGapMs());
    m_loopWatch->restart();
    const QString status = m_cycleStatus;
    m_cycleStatus.clear();
    if (status == QLatin1String(StatusText::ReadTimeout)) {
        ++m_exchanges;
        ++m_timeouts;
        return;
    }
    if (status == QLatin1String(StatusText::ConnectFirst)) {
        ++m_notConnected;
        return;
    }
    ++m_exchanges;
    if (m_faulty)
        return;
    // Stale replies and the end of a flood go with the first exchanges after a fault; from
    // a second after the line is quiet, every reading must be the board's.
    if (m_soundSinceMs < 0) {
        if (board().waitUntilSent(0))
            m_soundSinceMs = m_clock.elapsed();
        return;
    }
    if (m_clock.elapsed() - m_soundSinceMs < 1000)
        return;
    ++m_verified;
    board().clearReceived(); // the record is not needed; keep it from growing
    for (int p = 0; p < 3; ++p) {
        const PortControls &port = m_window->ports()[p];
        const char letter = portLetter(port.port);
        const int direction = board().direction(port.port);
        const int output = board().output(port.port);
        const int read = (direction & m_pattern[p]) | (~direction & output & 0xFF);
        if (port.readHex->text() != HexText(read)) {
            ++m_wrongReadings;
            print(QStringLiteral("wrong reading of port %1: %2, the board has %3")
                      .arg(QChar(letter), port.readHex->text(), HexText(read)));
        }
        if (HexBoxValue(port.directionHex->text()) != direction ||
            HexBoxValue(port.writeHex->text()) != output) {
            ++m_registerMismatches;
            print(QStringLiteral("port %1 shows %2/%3, the board has %4/%5")
                      .arg(QChar(letter), port.directionHex->text(), port.writeHex->text(),
                           HexText(direction), HexText(output)));
        }
    }

    // Memory is measured only here, on a sound line with nothing in flight, so that a flood
    // still being read is not taken for growth.
    if (!m_warm && m_nextInRound >= FaultCount && elapsedS() >= m_options.warmupS) {
        m_warm = true;
        m_rssWarm = residentKiB();
        print(QStringLiteral("warm after %1 s, rss %2 KiB").arg(elapsedS()).arg(m_rssWarm));
    }
    if (m_ending)
        conclude();
}

void Soak::userAction()
{
    ++m_userActions;
    const char letter = char('A' + m_random.bounded(3));
    const QString port = QStringLiteral("Port") + QLatin1Char(letter);
    const int kind = m_random.bounded(10);
    if (kind < 4) {
        const QString name = port + (kind < 2 ? QStringLiteral("IOBit") : QStringLiteral("IO"));
        QTest::mouseClick(m_window->control(name, m_random.bounded(8)), Qt::LeftButton);
    } else if (kind < 9) {
        static const QStringList roles = {"IODec", "IOHex", "WDec", "WHex"};
        const QString role = roles[m_random.bounded(4)];
        auto *box = m_window->control<TextBox>(port + role);
        const QString keys = role.endsWith(QLatin1String("Dec")) ? QStringLiteral("0123456789.-")
                                                                 : QStringLiteral("0123456789aBcF");
        box->setFocus();
        switch (m_random.bounded(4)) {
        case 0:
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
            break;
        case 1:
            QTest::keyClick(box, Qt::Key_End);
            break;
        case 2:
            QTest::keyClick(box, Qt::Key_Home);
            break;
        default:
            QTest::keyClick(box, Qt::Key_Backspace);
            break;
        }
        QTest::keyClick(box, keys.at(m_random.bounded(int(keys.size()))).toLatin1());
    } else {
        QTest::mouseClick(m_window->control(QStringLiteral("ResetTamsk")), Qt::LeftButton);
    }
    m_cycleStatus.clear();
    const QString mismatch = viewMismatch(*m_window);
    if (!mismatch.isEmpty()) {
        ++m_viewMismatches;
        print(QStringLiteral("views disagree: %1").arg(mismatch));
    }
}

void Soak::report()
{
    print(QStringLiteral("%1 s: %2 exchanges, %3 timeouts, %4 verified, rss %5 KiB")
              .arg(elapsedS())
              .arg(m_exchanges)
              .arg(m_timeouts)
              .arg(m_verified)
              .arg(residentKiB()));
}

void Soak::finish()
{
    // No new faults; the last one runs out, and the first checked reading after it ends the
    // run, so that the end is measured as the warm-up mark was.
    m_ending = true;
    QTimer::singleShot(60000, this, &Soak::conclude);
}

void Soak::conclude()
{
    if (m_concluded)
        return;
    m_concluded = true;
    const bool settled = !m_faulty && m_soundSinceMs >= 0;
    QTest::mouseClick(m_window->control<QCheckBox>(QStringLiteral("Check1")), Qt::LeftButton);
    m_longestStallMs = qMax(m_longestStallMs, m_loopWatch->longestGapMs());
    const qint64 rssEnd = residentKiB();
    const bool warm = m_rssWarm >= 0;
    const qint64 growth = warm ? rssEnd - m_rssWarm : 0;

    QStringList faults;
    for (int f = 0; f < FaultCount; ++f)
        faults << QStringLiteral("%1 %2").arg(QLatin1String(faultNames[f])).arg(m_faults[f]);
    print(QStringLiteral("ran %1 s").arg(elapsedS()));
    print(QStringLiteral("exchanges %1 (%2 answered, %3 timeouts), %4 cycles not connected")
              .arg(m_exchanges)
              .arg(m_exchanges - m_timeouts)
              .arg(m_timeouts)
              .arg(m_notConnected));
    print(QStringLiteral("faults: %1").arg(faults.join(QStringLiteral(", "))));
    print(QStringLiteral("user actions %1, failed reconnects %2")
              .arg(m_userActions)
              .arg(m_failedReconnects));
    print(
        QStringLiteral("readings checked %1: wrong %2, register mismatches %3, view mismatches %4")
            .arg(m_verified)
            .arg(m_wrongReadings)
            .arg(m_registerMismatches)
            .arg(m_viewMismatches));
    print(QStringLiteral("longest stall of the event loop %1 ms (limit %2)")
              .arg(m_longestStallMs)
              .arg(m_options.stallLimitMs));
    if (warm) {
        print(QStringLiteral("rss start %1 KiB, after warm-up %2 KiB, end %3 KiB, growth %4 KiB "
                             "(tolerance %5)")
                  .arg(m_rssStart)
                  .arg(m_rssWarm)
                  .arg(rssEnd)
                  .arg(growth)
                  .arg(m_options.toleranceKiB));
    } else {
        print(QStringLiteral("rss start %1 KiB, end %2 KiB; too short to warm up, growth not "
                             "judged")
                  .arg(m_rssStart)
                  .arg(rssEnd));
    }

    QStringList failures;
    if (m_wrongReadings + m_registerMismatches + m_viewMismatches > 0)
        failures << QStringLiteral("wrong values");
    if (m_failedReconnects > 0)
        failures << QStringLiteral("reconnects failed");
    if (m_verified == 0 || !settled)
        failures << QStringLiteral("the line never came right");
    if (m_longestStallMs > m_options.stallLimitMs)
        failures << QStringLiteral("the window stalled");
    if (growth > m_options.toleranceKiB)
        failures << QStringLiteral("memory grew");
    print(failures.isEmpty() ? QStringLiteral("PASS")
                             : QStringLiteral("FAIL: %1").arg(failures.join(QStringLiteral(", "))));
    m_window.reset();
    emit finished(failures.isEmpty() ? 0 : 1);
}

int main(int argc, char *argv[])
{
    // A fixed threshold: every flood's buffers come from the system and go back to it. With
    // glibc's sliding one, floods after the first stay in the heap and fragment it, which
    // reads as growth.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Polls the board emulator through the real window under random faults."));
    parser.addHelpOption();
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Seconds to run (600)."), QStringLiteral("s"),
                                      QStringLiteral("600"));
    const QCommandLineOption warmup(QStringLiteral("warmup"),
                                    QStringLiteral("Seconds before the memory mark (a fifth, at "
                                                   "most 120; never before every fault ran)."),
                                    QStringLiteral("s"));
    const QCommandLineOption tolerance(QStringLiteral("tolerance"),
                                       QStringLiteral("Allowed growth after warm-up (512)."),
                                       QStringLiteral("KiB"), QStringLiteral("512"));
    const QCommandLineOption reportEvery(QStringLiteral("report"),
                                         QStringLiteral("Seconds between progress lines (60)."),
                                         QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Random seed (from the clock)."),
                                  QStringLiteral("n"));
    parser.addOptions({duration, warmup, tolerance, reportEvery, seed});
    parser.process(app);

    Options options;
    bool ok = true;
    const auto number = [&](const QCommandLineOption &option, qint64 fallback) {
        if (!parser.isSet(option))
            return fallback;
        bool valid = false;
        const qint64 value = parser.value(option).toLongLong(&valid);
        ok = ok && valid && value >= 0;
        return value;
    };
    options.durationS = int(number(duration, 600));
    options.warmupS = int(number(warmup, qMin(120, options.durationS / 5)));
    options.toleranceKiB = number(tolerance, 512);
    options.reportS = int(qMax<qint64>(1, number(reportEvery, 60)));
    options.seed = quint32(number(seed, QRandomGenerator::global()->generate()));
    if (!ok || options.durationS < 1) {
        std::fprintf(stderr, "zarvex-soak: bad option value\n");
        return 2;
    }

    Soak soak(options);
    QObject::connect(&soak, &Soak::finished, &app, &QCoreApplication::exit);
    if (!soak.start()) {
        std::fprintf(stderr, "zarvex-soak: the board emulator did not start\n");
        return 1;
    }
    return app.exec();
}

#include "zarvex-soak.moc"
