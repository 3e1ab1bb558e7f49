#pragma once
// Calls handed from another thread to the thread that owns a HandOverPoint (the user-interface
// thread). Whoever hands a call over may wait for its ticket, and every ticket ends: when the
// call has run, when it is dropped unrun (the point is destroyed first, or no event loop ever
// delivers it), or when the ticket is released by whoever stops the waiting thread. So a thread
// that waits for the user-interface thread can always be stopped and joined.

#include <QObject>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class HandOverTicket {
public:
    // The call has run, or will never run.
    void Finish() { End(); }
    // Lets the waiter go, whatever becomes of the call.
    void Release() { End(); }
    // Blocks until Finish or Release.
    void Wait();

private:
    void End();

    std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
};

class HandOverPoint : public QObject {
public:
    using QObject::QObject;

    // From any thread: queues the call for this object's thread. The ticket ends when the call
    // has run there or has been dropped unrun. On the point's own thread the call runs at once,
    // since waiting for it there would wait for ever. Whoever posts from another thread must be
    // stopped before the point is destroyed.
    std::shared_ptr<HandOverTicket> Post(std::function<void()> call);

protected:
    bool event(QEvent* event) override;

private:
    Qt::HANDLE owner_ = QThread::currentThreadId();
};
