// kestrune-cli: relay boards from scripts, on the engine and libftdi1.
#include "engine/signal_watcher.h"
#include "engine/device/board_link.h"
#include "engine/device/ftdi_library.h"
#include "cli/arguments.h"
#include "cli/commands.h"

#include <QCoreApplication>

#include <csignal>
#include <optional>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const cli::Parsed parsed = cli::parse(QCoreApplication::arguments());
    if (!parsed.value) {
        cli::complain(parsed.error + QStringLiteral(" (try --help)"));
        return 2;
    }
    // Before the USB library starts any thread of its own, so that every
    // thread leaves these signals to the watcher.
    // Every signal that ends a process by default, so that the pending edges
    // and --off-at-end are performed before the exit; not the synchronous
    // faults (SIGSEGV and its kind), which cannot be caught safely.
    std::optional<SignalWatcher> watcher;
    if (const cli::Command command = parsed.value->command; command != cli::Command::Help && command != cli::Command::Version &&
                                                            command != cli::Command::List && command != cli::Command::Get)
        watcher.emplace(std::initializer_list<int>{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE,
                                                   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT});
    // Without the watcher an interrupted pulse or cycle would skip its
    // second edge: refuse rather than leave a relay as it should not stay.
    if (watcher && !watcher->isValid()) {
        cli::complain(QStringLiteral("cannot watch for the signals that end a command (no signalfd)"));
        return 1;
    }

    FtdiLibrary library;
    BoardLink link(library);
    return cli::run(*parsed.value, link, watcher ? &*watcher : nullptr);
}
