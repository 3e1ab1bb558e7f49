#include "serial/HandOver.h"

#include <QCoreApplication>
#include <QEvent>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// Qt orders a posted event under locks of its own that ThreadSanitizer cannot see, so the
// hand-over is announced to it: everything the posting thread did before Post happens before
// the call runs, and before the event is destroyed unrun. (Nothing in other builds.)
#if defined(__SANITIZE_THREAD__)
void Released(void* event) { __tsan_release(event); }
void Acquired(void* event) { __tsan_acquire(event); }
#else
void Released(void*) {}
void Acquired(void*) {}
#endif

const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CallEvent : public QEvent {
public:
    CallEvent(std::function<void()> call, std::shared_ptr<HandOverTicket> ticket)
        : QEvent(kCallEvent), call_(std::move(call)), ticket_(std::move(ticket))
    {
    }
    ~CallEvent() override
    {
        Acquired(this);
        ticket_->Finish();
    }
    CallEvent(const CallEvent&) = delete;
    CallEvent& operator=(const CallEvent&) = delete;

    void Run() { call_(); }

private:
    std::function<void()> call_;
    std::shared_ptr<HandOverTicket> ticket_;
};

} // namespace

void HandOverTicket::End()
{
    {
        std::lock_guard lock(mutex_);
        over_ = true;
    }
    ended_.notify_all();
}

void HandOverTicket::Wait()
{
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return over_; });
}

std::shared_ptr<HandOverTicket> HandOverPoint::Post(std::function<void()> call)
{
    auto ticket = std::make_shared<HandOverTicket>();
    // Read on the posting thread: a point destroyed under it is a race ThreadSanitizer sees,
    // which it cannot inside Qt's own posting.
    if (QThread::currentThreadId() == owner_) {
        call();
        ticket->Finish();
        return ticket;
    }
    auto* event = new CallEvent(std::move(call), ticket);
    Released(event);
    // From here on the event belongs to Qt, which runs it or deletes it unrun.
    QCoreApplication::postEvent(this, event);
    return ticket;
}

bool HandOverPoint::event(QEvent* event)
{
    Acquired(event); // before anything of it is read, its type included
    if (event->type() != kCallEvent)
        return QObject::event(event);
    // The call may destroy this object; nothing here touches it afterwards.
    static_cast<CallEvent*>(event)->Run();
    return true;
}
