#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Delivers SIGINT, SIGTERM (or whichever signals are given) through the event
// loop: the signals are blocked for the process and read from a signalfd, so a
// handler runs as an ordinary slot on the owning thread. Create it before any
// other thread starts, so that every thread inherits the blocked mask.
class SignalWatcher final : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(std::initializer_list<int> watched, QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False when the signals cannot be read (no signalfd): they are then
    // left unblocked, with their default actions.
    bool isValid() const { return fd_ >= 0; }

    // Restores the default action of sig, unblocks it and raises it, so that
    // the process ends by that signal (a shell then sees 128 + sig).
    [[noreturn]] static void dieBy(int sig);

signals:
    void received(int signal);

private:
    void onReadable();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
