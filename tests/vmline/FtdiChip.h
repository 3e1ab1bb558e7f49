#pragma once
// An FT232R USB serial adapter of the rig's own, on QEMU's usb-redir device: this end speaks the
// usbredir protocol as the USB host's side over a socket pair whose other end QEMU holds, and
// answers the guest's ftdi_sio driver as the chip does. Unlike QEMU's own FTDI model, which hands
// each packet to its socket before the guest runs on, it holds the bulk OUT packets it has not
// taken, as a chip whose FIFO is full NAKs further packets: the bytes stay in the guest's driver
// and the guest runs on. Its transmitter reports empty (in the status bytes every IN packet
// starts with, and in the modem-status request) only while it holds nothing.
//
// A thread of its own runs the protocol, takes the OUT packets at a chosen pace and keeps every
// byte taken with the moment it was.

#include "LineEnd.h"

#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FtdiChip {
public:
    using Clock = std::chrono::system_clock;

    // `serial` is its USB serial number.
    explicit FtdiChip(std::string serial);
    ~FtdiChip();
    FtdiChip(const FtdiChip&) = delete;
    FtdiChip& operator=(const FtdiChip&) = delete;

    // Connects the chip to the guest's USB bus (once QEMU has its end).
    void PlugIn();
    // Bytes per second it takes off the bus; 0 takes nothing, LineEnd::kAsFast every packet at once.
    void SetPace(double bytesPerSecond);

    std::string Received() const;
    std::vector<TakenLine> Lines() const;
    void Clear();

    // QEMU's end, until it has it.
    int QemuEnd() const { return qemuEnd_.get(); }
    void QemuHasIt() { qemuEnd_.reset(); }

private:
    struct Packet {
        std::uint64_t id;
        std::string bytes;
    };

    void Run();
    // Announces the chip to QEMU, which attaches it to the guest's bus.
    void Connect();
    // Sends what is due: packets taken at the pace, status bytes at the latency timer's pace.
    // Returns how long until something is due next.
    std::chrono::milliseconds Serve();
    void Wake();

    static void Control(void* self, std::uint64_t id, usb_redir_control_packet_header* header,
                        std::uint8_t* data, int length);
    static void Bulk(void* self, std::uint64_t id, usb_redir_bulk_packet_header* header,
                     std::uint8_t* data, int length);
    static void Cancel(void* self, std::uint64_t id);
    // The answer to a control request, or false to stall it.
    bool Answer(const usb_redir_control_packet_header& request, std::string& answer);
    void Complete(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status, const std::string& bytes,
                  std::size_t length);
    std::string StatusBytes() const;

    std::string serial_;
    UniqueFd socket_;
    UniqueFd qemuEnd_;
    UniqueFd wake_;
    std::unique_ptr<usbredirparser, void (*)(usbredirparser*)> parser_{nullptr, usbredirparser_destroy};

    mutable std::mutex mutex_;
    bool stopping_ = false;
    bool plug_ = false;
    double pace_ = LineEnd::kAsFast;
    std::deque<Packet> held_;             // OUT packets not taken yet, oldest first
    std::chrono::steady_clock::time_point takeAt_{}; // when the oldest is taken, at a pace
    std::deque<std::pair<std::uint64_t, std::chrono::steady_clock::time_point>> reads_; // IN, due
    int latencyMs_ = 16;
    std::string received_;
    std::vector<Clock::time_point> arrivals_;

    std::thread thread_;
};
