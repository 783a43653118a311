#include "engine/signal_watcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdlib>
#include <sys/signalfd.h>
#include <unistd.h>

SignalWatcher::SignalWatcher(std::initializer_list<int> watched, QObject* parent) : QObject(parent)
{
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : watched)
        sigaddset(&mask, sig);
    sigset_t before;
    if (pthread_sigmask(SIG_BLOCK, &mask, &before) != 0)
        return;
    fd_ = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        // Blocked with no one to read them, they would be lost: Ctrl-C
        // would do nothing. Give them back their default actions.
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
}

SignalWatcher::~SignalWatcher()
{
    if (notifier_)
        notifier_->setEnabled(false);
    if (fd_ >= 0)
        ::close(fd_);
}

void SignalWatcher::onReadable()
{
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        emit received(static_cast<int>(info.ssi_signo));
}

void SignalWatcher::dieBy(int sig)
{
    std::signal(sig, SIG_DFL);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, sig);
    pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
    std::raise(sig);
    std::_Exit(128 + sig);  // not reached: the default action ends the process
}
