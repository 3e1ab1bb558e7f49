#include "FtdiChip.h"

#include "os/SystemText.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr std::uint8_t kIn = 0x81;
constexpr std::uint8_t kOut = 0x02;

// What the FT232R reports of itself (its datasheet's default descriptors); ftdi_sio.c's
// ftdi_determine_type takes a bcdDevice of 0x0600 for an FT232R.
const std::string kDevice = {
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, // USB 2.0, control packets of 8 bytes
    0x03, 0x04, 0x01, 0x60, 0x00, 0x06,             // 0403:6001, bcdDevice 0x0600
    0x01, 0x02, 0x03, 0x01};                        // strings 1-3, one configuration
const std::string kConfiguration = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, char(0xa0), 0x2d, // bus powered, 90 mA
    0x09, 0x04, 0x00, 0x00, 0x02, char(0xff), char(0xff), char(0xff), 0x02, // vendor class
    0x07, 0x05, char(kIn), 0x02, 0x40, 0x00, 0x00,  // bulk IN, 64 bytes
    0x07, 0x05, char(kOut), 0x02, 0x40, 0x00, 0x00}; // bulk OUT, 64 bytes

std::string StringDescriptor(const std::string& text)
{
    std::string descriptor = {char(2 + 2 * text.size()), 0x03};
    for (const char c : text)
        descriptor += {c, 0};
    return descriptor;
}

// The index of an endpoint in usbredir's per-endpoint tables (usbredirproto.h).
int EndpointIndex(std::uint8_t address)
{
    return ((address & 0x80) >> 3) | (address & 0x0f);
}

// ftdi_sio.h's vendor requests (FTDI_SIO_*_REQUEST).
enum Request : std::uint8_t {
    kReset = 0x00, kModemCtrl = 0x01, kSetFlowCtrl = 0x02, kSetBaudRate = 0x03, kSetData = 0x04,
    kGetModemStatus = 0x05, kSetEventChar = 0x06, kSetErrorChar = 0x07, kSetLatencyTimer = 0x09,
    kGetLatencyTimer = 0x0a, kSetBitmode = 0x0b, kReadPins = 0x0c, kReadEeprom = 0x90,
};

} // namespace

FtdiChip::FtdiChip(std::string serial) : serial_(std::move(serial))
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0)
        throw std::runtime_error("socketpair: " + SystemText(errno));
    socket_.reset(ends[0]);
    qemuEnd_.reset(ends[1]);
    ::fcntl(socket_.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(qemuEnd_.get(), F_SETFL, 0);
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));

    parser_.reset(usbredirparser_create());
    if (!parser_)
        throw std::runtime_error("usbredirparser_create failed");
    parser_->priv = this;
    parser_->log_func = [](void*, int level, const char* message) {
        if (level <= usbredirparser_warning)
            std::fprintf(stderr, "vmline FTDI chip: %s\n", message);
    };
    parser_->read_func = [](void* self, std::uint8_t* data, int count) -> int {
        const ssize_t n = ::recv(static_cast<FtdiChip*>(self)->socket_.get(), data, count, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        return n > 0 ? static_cast<int>(n) : -1;
    };
    parser_->write_func = [](void* self, std::uint8_t* data, int count) -> int {
        const ssize_t n = ::send(static_cast<FtdiChip*>(self)->socket_.get(), data, count, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        return n >= 0 ? static_cast<int>(n) : -1;
    };
    parser_->control_packet_func = &FtdiChip::Control;
    parser_->bulk_packet_func = &FtdiChip::Bulk;
    parser_->cancel_data_packet_func = &FtdiChip::Cancel;
    // One configuration and one alternate setting: whatever is set is what there is.
    parser_->set_configuration_func = [](void* self, std::uint64_t id, usb_redir_set_configuration_header*) {
        usb_redir_configuration_status_header status{usb_redir_success, 1};
        usbredirparser_send_configuration_status(static_cast<FtdiChip*>(self)->parser_.get(), id, &status);
    };
    parser_->get_configuration_func = [](void* self, std::uint64_t id) {
        usb_redir_configuration_status_header status{usb_redir_success, 1};
        usbredirparser_send_configuration_status(static_cast<FtdiChip*>(self)->parser_.get(), id, &status);
    };
    parser_->set_alt_setting_func = [](void* self, std::uint64_t id, usb_redir_set_alt_setting_header* set) {
        usb_redir_alt_setting_status_header status{usb_redir_success, set->interface, 0};
        usbredirparser_send_alt_setting_status(static_cast<FtdiChip*>(self)->parser_.get(), id, &status);
    };
    parser_->get_alt_setting_func = [](void* self, std::uint64_t id, usb_redir_get_alt_setting_header* get) {
        usb_redir_alt_setting_status_header status{usb_redir_success, get->interface, 0};
        usbredirparser_send_alt_setting_status(static_cast<FtdiChip*>(self)->parser_.get(), id, &status);
    };
    parser_->reset_func = [](void*) {};
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (const int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                          usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
        usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(parser_.get(), "vmline FT232R", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
    thread_ = std::thread([this] { Run(); });
}

FtdiChip::~FtdiChip()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Wake();
    thread_.join();
}

void FtdiChip::Wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

void FtdiChip::PlugIn()
{
    {
        std::lock_guard lock(mutex_);
        plug_ = true;
    }
    Wake();
}

void FtdiChip::SetPace(double bytesPerSecond)
{
    {
        std::lock_guard lock(mutex_);
        pace_ = bytesPerSecond;
        takeAt_ = {};
    }
    Wake();
}

std::string FtdiChip::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<TakenLine> FtdiChip::Lines() const
{
    std::lock_guard lock(mutex_);
    return TakenLines(received_, arrivals_);
}

void FtdiChip::Clear()
{
    std::lock_guard lock(mutex_);
    received_.clear();
    arrivals_.clear();
}

void FtdiChip::Run()
{
    for (;;) {
        std::chrono::milliseconds next{};
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (plug_ && usbredirparser_have_peer_caps(parser_.get())) {
                plug_ = false;
                Connect();
            }
            next = Serve();
        }
        const short out = usbredirparser_has_data_to_write(parser_.get()) ? POLLOUT : 0;
        pollfd fds[2] = {{socket_.get(), static_cast<short>(POLLIN | out), 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(next.count())) < 0 && errno != EINTR)
            return;
        std::uint64_t woken = 0;
        if (fds[1].revents & POLLIN)
            [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &woken, sizeof woken);
        std::lock_guard lock(mutex_);
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (usbredirparser_do_read(parser_.get()) == usbredirparser_read_io_error) {
                // QEMU went away: nothing more will come.
                stopping_ = true;
                return;
            }
        }
        if (usbredirparser_has_data_to_write(parser_.get()))
            usbredirparser_do_write(parser_.get());
    }
}

void FtdiChip::Connect()
{
    // What usbredir's host side announces before the device itself (the protocol's interface_info
    // and ep_info precede device_connect).
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface_class[0] = interfaces.interface_subclass[0] = interfaces.interface_protocol[0] = 0xff;
    usbredirparser_send_interface_info(parser_.get(), &interfaces);
    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type), usb_redir_type_invalid);
    for (const std::uint8_t control : {0x00, 0x80}) {
        endpoints.type[EndpointIndex(control)] = usb_redir_type_control;
        endpoints.max_packet_size[EndpointIndex(control)] = 8;
    }
    for (const std::uint8_t bulk : {kIn, kOut}) {
        endpoints.type[EndpointIndex(bulk)] = usb_redir_type_bulk;
        endpoints.max_packet_size[EndpointIndex(bulk)] = 64;
    }
    usbredirparser_send_ep_info(parser_.get(), &endpoints);
    usb_redir_device_connect_header device{usb_redir_speed_full, 0, 0, 0, 0x0403, 0x6001, 0x0600};
    usbredirparser_send_device_connect(parser_.get(), &device);
}

std::chrono::milliseconds FtdiChip::Serve()
{
    const auto now = std::chrono::steady_clock::now();
    auto next = now + std::chrono::milliseconds(100);
    // OUT packets at the far end's pace: they wait in the chip's buffer for the UART (FT232R
    // datasheet, "FIFO RX Buffer"), and while it is full the chip NAKs the next packet (USB 2.0,
    // 8.4.5): the host's controller completes the URB only once the chip has taken it.
    while (!held_.empty() && pace_ != 0) {
        const Packet& packet = held_.front();
        if (pace_ > 0 && takeAt_ == std::chrono::steady_clock::time_point{})
            takeAt_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(packet.bytes.size() / pace_));
        if (pace_ > 0 && now < takeAt_) {
            next = std::min(next, takeAt_);
            break;
        }
        takeAt_ = {};
        received_ += packet.bytes;
        arrivals_.insert(arrivals_.end(), packet.bytes.size(), Clock::now());
        Complete(packet.id, kOut, usb_redir_success, {}, packet.bytes.size());
        held_.pop_front();
    }
    // Every IN packet gets the two status bytes once the latency timer runs out with no data to
    // send (FTDI application note AN232B-04, "Data Throughput, Latency and Handshaking").
    while (!reads_.empty() && reads_.front().second <= now) {
        const std::string status = StatusBytes();
        Complete(reads_.front().first, kIn, usb_redir_success, status, status.size());
        reads_.pop_front();
    }
    if (!reads_.empty())
        next = std::min(next, reads_.front().second);
    if (usbredirparser_has_data_to_write(parser_.get()))
        usbredirparser_do_write(parser_.get());
    return std::chrono::ceil<std::chrono::milliseconds>(std::max(next - now, std::chrono::steady_clock::duration{}));
}

std::string FtdiChip::StatusBytes() const
{
    // ftdi_sio.h, FTDI_SIO_GET_MODEM_STATUS and the IN packets' first two bytes: modem status
    // (bit 0 always set, CTS 0x10, DSR 0x20) and line status, where THRE (0x20) and TEMT (0x40)
    // say the transmitter holds nothing. ftdi_process_packet keeps TEMT as transmit_empty, which
    // get_lsr_info reports to TIOCSERGETLSR; ftdi_tx_empty asks for the modem status instead.
    const char lineStatus = held_.empty() ? 0x60 : 0x00;
    return {0x31, lineStatus};
}

void FtdiChip::Complete(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status, const std::string& bytes,
                        std::size_t length)
{
    usb_redir_bulk_packet_header header{};
    header.endpoint = endpoint;
    header.status = status;
    header.length = static_cast<std::uint16_t>(length & 0xffff);
    header.length_high = static_cast<std::uint16_t>(length >> 16);
    // No data is no buffer at all to the parser.
    usbredirparser_send_bulk_packet(
        parser_.get(), id, &header,
        bytes.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(const_cast<char*>(bytes.data())),
        static_cast<int>(bytes.size()));
}

void FtdiChip::Bulk(void* self, std::uint64_t id, usb_redir_bulk_packet_header* header, std::uint8_t* data,
                    int length)
{
    auto* chip = static_cast<FtdiChip*>(self);
    if (header->endpoint == kIn)
        chip->reads_.emplace_back(id, std::chrono::steady_clock::now() + std::chrono::milliseconds(chip->latencyMs_));
    else
        chip->held_.push_back({id, std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length))});
    usbredirparser_free_packet_data(chip->parser_.get(), data);
    chip->Serve();
}

// The guest's driver killed a URB (a close kills the write URBs: usb_serial_generic_close in
// drivers/usb/serial/generic.c): a packet the chip never took is never sent.
void FtdiChip::Cancel(void* self, std::uint64_t id)
{
    auto* chip = static_cast<FtdiChip*>(self);
    const auto out =
        std::find_if(chip->held_.begin(), chip->held_.end(), [id](const Packet& p) { return p.id == id; });
    if (out != chip->held_.end()) {
        if (out == chip->held_.begin())
            chip->takeAt_ = {};
        chip->held_.erase(out);
        chip->Complete(id, kOut, usb_redir_cancelled, {}, 0);
    }
    const auto in =
        std::find_if(chip->reads_.begin(), chip->reads_.end(), [id](const auto& r) { return r.first == id; });
    if (in != chip->reads_.end()) {
        chip->reads_.erase(in);
        chip->Complete(id, kIn, usb_redir_cancelled, {}, 0);
    }
}

void FtdiChip::Control(void* self, std::uint64_t id, usb_redir_control_packet_header* header, std::uint8_t* data,
                       int)
{
    auto* chip = static_cast<FtdiChip*>(self);
    std::string answer;
    usb_redir_control_packet_header reply = *header;
    if (chip->Answer(*header, answer)) {
        const bool in = header->requesttype & 0x80;
        if (in)
            answer.resize(std::min<std::size_t>(answer.size(), header->length));
        reply.status = usb_redir_success;
        reply.length = in ? static_cast<std::uint16_t>(answer.size()) : header->length;
        if (!in)
            answer.clear();
    } else {
        reply.status = usb_redir_stall;
        reply.length = 0;
        answer.clear();
    }
    usbredirparser_free_packet_data(chip->parser_.get(), data);
    usbredirparser_send_control_packet(chip->parser_.get(), id, &reply,
                                       answer.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(answer.data()),
                                       static_cast<int>(answer.size()));
}

bool FtdiChip::Answer(const usb_redir_control_packet_header& request, std::string& answer)
{
    constexpr std::uint8_t kStandard = 0x00, kVendor = 0x40, kTypeMask = 0x60;
    if ((request.requesttype & kTypeMask) == kStandard) {
        switch (request.request) {
        case 0x00: // GET_STATUS: self-powered and remote wake-up off
            answer = std::string(2, '\0');
            return true;
        case 0x01: // CLEAR_FEATURE (an endpoint's halt)
        case 0x03: // SET_FEATURE
            return true;
        case 0x06: { // GET_DESCRIPTOR
            const int type = request.value >> 8, index = request.value & 0xff;
            if (type == 1)
                answer = kDevice;
            else if (type == 2 && index == 0)
                answer = kConfiguration;
            else if (type == 3 && index == 0)
                answer = {0x04, 0x03, 0x09, 0x04}; // US English
            else if (type == 3 && index <= 3)
                answer = StringDescriptor(index == 1 ? "FTDI" : index == 2 ? "FT232R USB UART" : serial_);
            else
                return false;
            return true;
        }
        default:
            return false;
        }
    }
    if ((request.requesttype & kTypeMask) != kVendor)
        return false;
    // The requests ftdi_sio.c sends: ftdi_open (reset), update_mctrl (DTR, RTS), ftdi_set_termios
    // (data bits, baud divisor, flow control), ftdi_get_modem_status, write_latency_timer and
    // read_latency_timer (at probe), ftdi_gpio_init (the EEPROM's CBUS words). Flow control is
    // taken and not played: the far end's CTS stays high.
    switch (request.request) {
    case kReset: case kModemCtrl: case kSetFlowCtrl: case kSetBaudRate: case kSetData:
    case kSetEventChar: case kSetErrorChar: case kSetBitmode:
        return true;
    case kSetLatencyTimer:
        latencyMs_ = std::max(1, request.value & 0xff);
        return true;
    case kGetLatencyTimer:
        answer = {char(latencyMs_)};
        return true;
    case kGetModemStatus:
        answer = StatusBytes();
        return true;
    case kReadPins:
        answer = {0};
        return true;
    case kReadEeprom: // words of zero: no CBUS pin is set up as an I/O pin
        answer = std::string(2, '\0');
        return true;
    default:
        return false;
    }
}
