#include "GuestMachine.h"

#include "os/SystemText.h"
#include "support/Waiting.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

constexpr auto kBootLimit = std::chrono::seconds(240);

void WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("vmline: " + SystemText(errno));
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

GuestMachine::GuestMachine(const Paths& paths)
{
    if (!run_.isValid())
        throw std::runtime_error("vmline: no temporary folder");
    const std::string run = run_.path().toStdString();
    share_ = run + "/share";
    std::filesystem::create_directories(share_ + "/config/marqtest/ports");
    std::filesystem::create_directories(share_ + "/jobs");

    QProcess prepare;
    prepare.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    prepare.start(QString::fromStdString(paths.prepare), {QString::fromStdString(paths.cache)});
    if (!prepare.waitForFinished(10 * 60 * 1000))
        throw Unavailable("the guest's kernel and initramfs were not ready within 10 minutes");
    if (prepare.exitCode() == 77)
        throw Unavailable(prepare.readAllStandardError().trimmed().replace("vmline: ", "").toStdString());
    if (prepare.exitStatus() != QProcess::NormalExit || prepare.exitCode() != 0)
        throw std::runtime_error("vmline: preparing the guest failed: " +
                                 prepare.readAllStandardError().trimmed().toStdString());

    const QString emulator = QStringLiteral("qemu-system-x86_64");
    if (QStandardPaths::findExecutable(emulator).isEmpty())
        throw Unavailable("qemu-system-x86_64 is not installed (qemu-system-x86)");
    // Without KVM (it is not usable on every machine) QEMU translates the guest's code: a
    // little slower, the same drivers. VMLINE_KVM=1 asks for KVM where it works.
    const bool kvm = qEnvironmentVariable("VMLINE_KVM") == QLatin1String("1");
    const auto socket = [&run](const char* name) { return QString::fromStdString(run + "/" + name + ".sock"); };
    // The lines' sockets are passed open; the adapter enumerates in the guest only while its
    // socket is connected.
    uart_ = std::make_unique<LineEnd>();
    adapter_ = std::make_unique<LineEnd>();
    chip_ = std::make_unique<FtdiChip>("VMFT232R");
    const QStringList arguments = {
        "-machine", kvm ? "q35,accel=kvm:tcg" : "q35,accel=tcg",
        "-cpu", kvm ? "host" : "qemu64", "-m", "768", "-smp", "1",
        "-display", "none", "-no-reboot", "-nic", "none", "-no-user-config", "-nodefaults",
        "-kernel", QString::fromStdString(paths.cache + "/vmlinux"),
        "-initrd", QString::fromStdString(paths.cache + "/initrd.cpio"),
        "-append", QString::fromStdString("console=ttyS0 quiet loglevel=1 panic=-1 cryptomgr.notests "
                                          "vmline_init=" + paths.guestInit),
        "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
        "-virtfs", QString::fromStdString("local,path=" + share_ + ",mount_tag=share,security_model=none"),
        "-chardev", QString("socket,id=uart,fd=%1").arg(uart_->QemuEnd()),
        "-chardev", QString("socket,id=adapter,fd=%1").arg(adapter_->QemuEnd()),
        "-chardev", QString("socket,id=chip,fd=%1").arg(chip_->QemuEnd()),
        "-chardev", "socket,id=monitor,server=on,wait=off,path=" + socket("monitor"),
        "-mon", "chardev=monitor,mode=readline",
        // The console last: QEMU waits for it before the guest runs, and by then the monitor's
        // socket is there.
        "-chardev", "socket,id=console,server=on,wait=on,path=" + socket("console"),
        "-serial", "chardev:console", "-serial", "chardev:uart",
        "-device", "qemu-xhci,id=xhci", "-device", kAdapterDevice, "-device", "usb-redir,chardev=chip,id=chip",
        "-trace", "serial_update_parameters",
    };
    log_ = run + "/qemu.log";
    qemu_.setStandardOutputFile(QString::fromStdString(log_));
    qemu_.setProcessChannelMode(QProcess::MergedChannels);
    const auto started = std::chrono::steady_clock::now();
    qemu_.start(emulator, arguments);
    if (!qemu_.waitForStarted(10000))
        throw Unavailable("qemu-system-x86_64 did not start: " + qemu_.errorString().toStdString());

    uart_->QemuHasIt();
    adapter_->QemuHasIt();
    chip_->QemuHasIt();
    monitor_ = ConnectUnix(socket("monitor").toStdString(), std::chrono::seconds(30));
    console_ = ConnectUnix(socket("console").toStdString(), std::chrono::seconds(30));
    Monitor({}); // the greeting, up to the first prompt, once the machine runs
    consoleReader_ = std::thread([this] { ReadConsole(); });

    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kBootLimit, [this] { return ready_ || gone_; }) || gone_) {
        const std::string said = consoleText_;
        lock.unlock();
        qemu_.kill();
        qemu_.waitForFinished(5000);
        ::shutdown(console_.get(), SHUT_RDWR);
        consoleReader_.join();
        throw std::runtime_error("vmline: the guest did not come up; its console said:\n" + said);
    }
    bootSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

GuestMachine::~GuestMachine()
{
    std::ofstream(share_ + "/jobs/quit");
    if (!qemu_.waitForFinished(5000)) {
        qemu_.kill();
        qemu_.waitForFinished(5000);
    }
    if (console_.valid())
        ::shutdown(console_.get(), SHUT_RDWR);
    if (consoleReader_.joinable())
        consoleReader_.join();
}

void GuestMachine::ReadConsole()
{
    for (;;) {
        char buffer[1024];
        const ssize_t n = ::read(console_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            gone_ = true;
            changed_.notify_all();
            return;
        }
        consoleText_.append(buffer, static_cast<std::size_t>(n));
        ready_ = consoleText_.find("@@ready") != std::string::npos;
        changed_.notify_all();
    }
}

int GuestMachine::Start(const std::string& command)
{
    const int job = nextJob_++;
    const std::string path = Job(job, "");
    std::ofstream(path + "new") << "export XDG_CONFIG_HOME=/tmp/share/config\n" << command << "\n";
    std::filesystem::rename(path + "new", path + "cmd");
    return job;
}

std::optional<int> GuestMachine::Wait(int job, std::chrono::milliseconds limit)
{
    const std::string status = Job(job, "status");
    if (!WaitWithoutEvents([&] { return std::filesystem::exists(status); }, limit))
        return std::nullopt;
    if (!ended_.count(job))
        ended_[job] = std::chrono::system_clock::now();
    return std::stoi(ReadFile(status));
}

std::optional<std::chrono::system_clock::time_point> GuestMachine::EndOf(int job) const
{
    const auto found = ended_.find(job);
    if (found == ended_.end())
        return std::nullopt;
    return found->second;
}

std::string GuestMachine::Output(int job) const
{
    return ReadFile(Job(job, "out"));
}

std::string GuestMachine::Job(int job, const char* what) const
{
    return share_ + "/jobs/" + std::to_string(job) + "." + what;
}

std::string GuestMachine::Run(const std::string& command, std::chrono::milliseconds limit)
{
    const int job = Start(command);
    const std::optional<int> status = Wait(job, limit);
    if (status != 0)
        throw std::runtime_error("vmline: " + command + " ended " +
                                 (status ? "with " + std::to_string(*status) : "not in time") + ":\n" +
                                 Output(job));
    return Output(job);
}

void GuestMachine::Signal(int job, const char* name)
{
    Run(std::string("kill -") + name + " $(cat /tmp/share/jobs/" + std::to_string(job) + ".pid)",
        std::chrono::seconds(30));
}

void GuestMachine::LinkPort(int number, const std::string& target) const
{
    const std::string link = share_ + "/config/marqtest/ports/COM" + std::to_string(number);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
}

std::string GuestMachine::Monitor(const std::string& command, const std::string& awaited)
{
    std::lock_guard lock(monitorMutex_);
    // Whatever the monitor said unasked (a prompt redrawn) belongs to no command.
    char buffer[1024];
    while (::recv(monitor_.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    if (!command.empty())
        WriteAll(monitor_.get(), command + "\n");
    // The monitor echoes the command with line-editing sequences, answers, and prompts again.
    std::string text;
    const auto answered = [&] {
        const std::size_t echoEnd = text.find("\r\n");
        if (command.empty())
            return text.size() >= 7 && text.compare(text.size() - 7, 7, "(qemu) ") == 0;
        return echoEnd != std::string::npos && text.size() >= echoEnd + 9 &&
               text.compare(text.size() - 7, 7, "(qemu) ") == 0 && text.find(awaited, echoEnd) != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!answered()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{monitor_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("vmline: the monitor did not answer " + command + ": " + text);
        const ssize_t n = ::read(monitor_.get(), buffer, sizeof buffer);
        if (n <= 0)
            throw std::runtime_error("vmline: the monitor went away");
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t echoEnd = text.find("\r\n");
    return command.empty() ? text : text.substr(echoEnd + 2, text.size() - 7 - echoEnd - 2);
}

int GuestMachine::LineControl()
{
    // "portb[0x02fb] = 0x13"
    const std::string answer = Monitor("i /b 0x2fb", "[0x02fb] = 0x");
    std::smatch value;
    if (!std::regex_search(answer, value, std::regex("\\[0x02fb\\] = 0x([0-9a-f]+)")))
        throw std::runtime_error("vmline: the monitor answered " + answer);
    return std::stoi(value[1], nullptr, 16);
}

std::string GuestMachine::LastUartSettings() const
{
    // QEMU traces every change of a UART's settings; after boot only the guest's ttyS1 changes.
    const std::string log = ReadFile(log_);
    const std::string event = "serial_update_parameters ";
    const std::size_t at = log.rfind(event);
    if (at == std::string::npos)
        return {};
    return log.substr(at + event.size(), log.find('\n', at) - at - event.size());
}
