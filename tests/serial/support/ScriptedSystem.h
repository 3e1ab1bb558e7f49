#pragma once
// The real system calls, with what a pseudo-terminal cannot do scripted on top: modem lines,
// line-error counters, a transmitter that drains slowly or not at all (or at a real line's
// pace, counted and flushed as a given driver does), a UART that keeps the character frame it is
// given, another program's exclusive flag, a hang-up or an unplug, failures of single calls, and
// a gate that holds the event thread before its next poll so that a test can set up several
// findings for one pass.

#include "serial/linux/LinuxSystem.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class ScriptedSystem : public LinuxSystem {
public:
    using LinuxSystem::LinuxSystem;

    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    ssize_t Write(int fd, const void* buffer, std::size_t count) override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    int Flush(int fd, int queue) override;
    int GetAttributes(int fd, termios& attributes) override;
    int SetAttributes(int fd, const termios& attributes) override;
    int WakeDescriptor() override;
    bool HasLine(int fd) override;

    // Modem lines as TIOCM_* bits; unset means "the device has none".
    void SetModemLines(std::optional<int> lines);
    void SetCounters(std::optional<serial_icounter_struct> counters);
    // The counters move to these right after the next reading of them.
    void SetCountersAfterNextRead(serial_icounter_struct counters);
    void SetOutputQueue(std::optional<int> bytes);
    // The next calls of this request fail with this errno (0 lifts it).
    void FailIoctl(unsigned long request, int error);
    // Polls with a device descriptor fail with this errno (0 lifts it).
    void FailPoll(int error);
    void FailWakeDescriptor(bool fail) { failWake_ = fail; }
    // At most this many bytes per write call; 0 takes none (a stuck transmitter).
    void LimitWrites(std::optional<std::size_t> bytes);
    // Every wait of the event thread that ends from now on finds the device hung up, as well as
    // whatever is really there; any other wait finds it hung up at once.
    void HangUp(bool on) { hangUp_ = on; }
    // The line keeps the data bits, parity and stop bits it is given, as a UART does
    // (drivers/tty/serial/8250/8250_port.c, serial8250_do_set_termios, writes them to the line
    // control register; a pseudo-terminal keeps 8-N: drivers/tty/pty.c, pty_set_termios).
    void KeepFrames() { keepFrames_ = true; }
    // The device's exclusive flag (TIOCEXCL, TIOCNXCL, TIOCGEXCL) is scripted, starting as
    // given: another program may have set it.
    void ScriptExclusive(bool set);
    bool Exclusive() const;

    // The driver behind the line DrainAt plays: what TIOCOUTQ counts, whether TIOCSERGETLSR is
    // answered and whether TCOFLUSH throws anything away (see Ioctl and Flush).
    enum class Driver {
        Uart,      // an 8250 UART behind serial_core (the default)
        FtdiSio,   // usb-serial's ftdi_sio
        UsbSerial, // usb-serial's cp210x, ch341 and pl2303
        CdcAcm,    // cdc-acm (see CountWholeBuffers)
    };
    // A line that carries bitsPerSecond, each byte a frame of bitsPerFrame bits, behind a kernel
    // queue of `capacity` bytes that refuses bytes while full. TIOCOUTQ reports what is still
    // queued (unless SetOutputQueue or FailIoctl say otherwise) but the last `fifo` bytes, which
    // are in the UART or in the USB adapter's own buffer. The bytes reach the far end at once.
    // 0 bits per second turns it off; the device then has a line (HasLine).
    void DrainAt(int bitsPerSecond, int capacity = 4096, int bitsPerFrame = 10, int fifo = 0);
    void PlayDriver(Driver driver);
    // TIOCOUTQ as cdc_acm counts: every write call holds transfer buffers of `size` bytes,
    // counted whole, until their USB transfer completes `transfer` after the call; the line drains
    // as DrainAt says, unseen. 0 turns it off.
    void CountWholeBuffers(int size, std::chrono::nanoseconds transfer);
    // Flow control holds the line: no byte leaves it until it is let go again.
    void Stall(bool on);
    // The USB adapter is pulled out at `at`: what has not left the line by then never does, and
    // the line hangs up `hangUpAfter` later.
    void Unplug(std::chrono::steady_clock::time_point at, std::chrono::nanoseconds hangUpAfter);
    // Bytes in the queue now.
    int QueuedNow() const;
    // The most the queue held when a write call came.
    int MostQueuedAtWrite() const;
    // How many bytes the line has taken so far.
    std::uint64_t TakenBytes() const;
    // When the n-th byte the queue took (from 1) has left the line; nullopt if it never took it
    // or it never left.
    std::optional<std::chrono::steady_clock::time_point> LeftTheLine(std::uint64_t n) const;

    // Holds the event thread at its next poll until Release (or for 30 s at most).
    void Hold();
    void Release();
    // True once the event thread waits at the gate.
    bool Held() const { return waiting_ > 0; }
    // How many waits the event thread has begun.
    int ThreadWaits() const { return threadWaits_; }

    // The calls that let a device go, in order, each with its moment: "flush output",
    // "tcsetattr", "close".
    struct Call {
        std::string name;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Call> Calls() const;
    // The kernel's id of the event thread, once it has polled.
    int EventThreadId() const { return eventThread_; }

    int AttributeCalls() const { return attributeCalls_; }
    int CallCount() const { return calls_; }
    // Calls made on the thread that created this object (the user-interface thread).
    int OwnerCallCount() const { return ownerCalls_; }
    int Closes() const { return closes_; }
    int ClosesOnOwnerThread() const { return ownerCloses_; }

private:
    using Clock = std::chrono::steady_clock;
    // Bytes the draining line took in one write: the first one's number (from 1), how many, and
    // when the first began to leave.
    struct Taken {
        std::uint64_t first;
        std::uint64_t count;
        Clock::time_point start;
    };
    int QueuedAt(Clock::time_point now) const; // under mutex_
    void Note(const char* name);                // under mutex_
    bool Unplugged(Clock::time_point now) const { return unplugAt_ && now >= *unplugAt_; }
    bool HungUp() const; // under mutex_
    // Bytes that have not left the line by `from` leave from `resume` on, back to back; a
    // resume of max() means never. Under mutex_.
    void Requeue(Clock::time_point from, Clock::time_point resume);

    mutable std::mutex mutex_;
    std::condition_variable gate_;
    bool hold_ = false;
    std::atomic<int> waiting_{0};
    std::atomic<int> threadWaits_{0};
    std::optional<int> modemLines_;
    std::optional<serial_icounter_struct> counters_;
    std::optional<serial_icounter_struct> nextCounters_;
    std::optional<int> outputQueue_;
    std::map<unsigned long, int> failures_;
    int pollError_ = 0;
    std::optional<std::size_t> writeLimit_;
    int drainRate_ = 0;
    int drainCapacity_ = 0;
    int fifo_ = 0;
    std::chrono::nanoseconds frameTime_{0};
    std::vector<Taken> taken_;
    int bufferSize_ = 0;
    std::chrono::nanoseconds transferTime_{0};
    std::vector<Clock::time_point> transfersEnd_;
    Driver driver_ = Driver::Uart;
    std::optional<Clock::time_point> stalledAt_;
    std::optional<Clock::time_point> unplugAt_;
    std::optional<Clock::time_point> hangUpAt_;
    std::uint64_t takenBytes_ = 0;
    Clock::time_point lineFreeAt_{};
    int mostQueuedAtWrite_ = 0;
    std::atomic<bool> failWake_{false};
    std::atomic<bool> hangUp_{false};
    bool keepFrames_ = false;
    tcflag_t frame_ = 0;
    std::optional<bool> exclusive_;
    std::vector<Call> callLog_;
    std::atomic<int> eventThread_{0};
    std::atomic<int> attributeCalls_{0};
    std::atomic<int> calls_{0};
    std::atomic<int> ownerCalls_{0};
    std::atomic<int> closes_{0};
    std::atomic<int> ownerCloses_{0};
    const std::thread::id owner_ = std::this_thread::get_id();

    void Count();
};
