#include "os/linux/ComRoots.h"

#include "os/linux/BoardLink.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

using Roots = ComNames::Roots;

namespace {

struct TableRange {
    int first;
    int count;
    const char* node;
};

constexpr std::array<TableRange, 4> kTable = {{
    {1, 32, "ttyS"}, {33, 32, "ttyUSB"}, {65, 32, "ttyACM"}, {97, 3, "ttyAMA"}}};

} // namespace

// The table covers every COM number; a ports directory's link beyond it names nothing.
const int ComNames::kLastNumber = kTable.back().first + kTable.back().count - 1;

namespace {

std::string FirstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool Exists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

std::string LinkPath(const Roots& roots, int number)
{
    if (roots.portsDir.empty())
        return {};
    return roots.portsDir + "/COM" + std::to_string(number);
}

std::string Resolved(const Roots& roots, std::string_view name)
{
    if (name.starts_with('/'))
        return std::string(name);
    const int number = ComNames::Number(name);
    if (number == 0)
        return {};
    // A link that exists decides, even when its target is gone: the user meant that device.
    // A virtual board's link whose board is gone leads nowhere: its pseudo-terminal may belong
    // to another program by now.
    if (const std::string link = LinkPath(roots, number); !link.empty()) {
        std::error_code error;
        if (fs::is_symlink(link, error) || fs::exists(link, error))
            return BoardLink::OwnerOf(link) == BoardLink::Owner::GoneBoard ? std::string() : link;
    }
    return roots.TablePath(number);
}

bool HasHardware(const Roots& roots, const std::string& node)
{
    // The kernel creates ttyS0-31 whether or not a UART is there; a placeholder reports UART
    // type 0. Without the sysfs entry we cannot tell and keep the port.
    const std::string base = fs::path(node).filename().string();
    if (!base.starts_with("ttyS"))
        return true;
    const fs::path type = fs::path(roots.sysTty) / base / "type";
    if (!Exists(type))
        return true;
    return FirstLine(type) != "0";
}

// `linked`: the ports directory lists a COMn entry; only then can a link there decide.
bool IsPresent(const Roots& roots, int number, bool linked)
{
    const std::string path =
        linked ? Resolved(roots, "COM" + std::to_string(number)) : roots.TablePath(number);
    if (path.empty() || !Exists(path))
        return false;
    return path == LinkPath(roots, number) || HasHardware(roots, path);
}

std::string ById(const Roots& roots, const std::string& node)
{
    std::error_code error;
    const fs::path target = fs::canonical(node, error);
    if (error)
        return {};
    for (const auto& entry : fs::directory_iterator(roots.byId, error)) {
        std::error_code ignored;
        if (fs::canonical(entry.path(), ignored) == target)
            return entry.path().filename().string();
    }
    return {};
}

// What sysfs tells of the USB adapter behind a tty node: nothing for a built-in UART or a
// pseudo-terminal.
ComNames::Device UsbFacts(const Roots& roots, const std::string& node)
{
    ComNames::Device facts;
    std::error_code error;
    const fs::path target = fs::canonical(node, error);
    if (error)
        return facts;
    const fs::path port = fs::canonical(fs::path(roots.sysTty) / target.filename() / "device", error);
    if (error)
        return facts;
    fs::path interface;
    for (fs::path at = port; at.has_relative_path(); at = at.parent_path()) {
        if (Exists(at / "bInterfaceNumber"))
            interface = at;
        if (Exists(at / "idVendor")) {
            if (interface.empty())
                return facts;
            facts.place = at.string();
            facts.model = FirstLine(at / "idVendor") + ":" + FirstLine(at / "idProduct");
            facts.serial = FirstLine(at / "serial");
            // "1-2:1.0" names the interface; an adapter with several lines on one interface
            // numbers them as ports.
            const std::string name = interface.filename().string();
            facts.interface = name.substr(name.rfind(':') + 1);
            if (const std::string number = FirstLine(port / "port_number"); !number.empty())
                facts.interface += "#" + number;
            return facts;
        }
    }
    return facts;
}

bool SameAdapter(const ComNames::Device& a, const ComNames::Device& b)
{
    return a.model == b.model && a.serial == b.serial && a.interface == b.interface;
}

std::string UsbName(const Roots& roots, const std::string& node)
{
    if (std::string byId = ById(roots, node); !byId.empty())
        return byId;
    std::error_code error;
    const fs::path target = fs::canonical(node, error);
    if (error)
        return {};
    // No by-id link: ask the USB device itself, a few levels above the tty's device.
    fs::path device = fs::path(roots.sysTty) / target.filename() / "device";
    for (int level = 0; level < 4; ++level, device /= "..") {
        if (Exists(device / "product")) {
            std::string maker = FirstLine(device / "manufacturer");
            std::string product = FirstLine(device / "product");
            return maker.empty() ? product : maker + " " + product;
        }
    }
    return {};
}

// Which node a path leads to now: its file, device number and change time. A device node made
// anew (a pseudo-terminal's number handed to the next terminal) differs in one of them.
std::string NodeOf(const std::string& path)
{
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return {};
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
           std::to_string(status.st_rdev) + "@" + std::to_string(status.st_ctim.tv_sec) + "." +
           std::to_string(status.st_ctim.tv_nsec);
}

// An adapter present now of a lost device's model and serial number, one entry per line.
struct Kin {
    std::string name;
    std::string node;
    std::string place;
    bool sameLine; // the same interface, so the lost line itself if it is the same adapter
};

std::vector<Kin> SameKind(const ComNames& names, const Roots& roots, const ComNames::Device& device)
{
    std::vector<Kin> kin;
    std::set<std::string> nodes;
    for (const std::string& name : names.Present()) {
        std::error_code error;
        const std::string node = fs::canonical(names.Resolve(name), error).string();
        if (error || !nodes.insert(node).second)
            continue;
        const ComNames::Device facts = UsbFacts(roots, node);
        if (facts.place.empty() || facts.model != device.model || facts.serial != device.serial)
            continue;
        kin.push_back({name, node, facts.place, facts.interface == device.interface});
    }
    return kin;
}

bool LeadsTo(const ComNames& names, std::string_view name, const std::string& node)
{
    std::error_code error;
    const fs::path target = fs::canonical(names.Resolve(name), error);
    return !error && target == node;
}

} // namespace

std::string Roots::PortsDirectory()
{
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        config = std::string(home) + "/.config";
    else if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir && *user->pw_dir)
        config = std::string(user->pw_dir) + "/.config";
    else
        return {};
    return config + "/marqtest/ports";
}

std::string Roots::TablePath(int number) const
{
    for (const TableRange& range : kTable) {
        if (number >= range.first && number < range.first + range.count)
            return dev + "/" + range.node + std::to_string(number - range.first);
    }
    return {};
}

bool Roots::MachinePortPresent(int number) const
{
    const std::string path = TablePath(number);
    return !path.empty() && Exists(path) && HasHardware(*this, path);
}

ComNames::ComNames(Roots roots) : roots_(std::make_shared<const Roots>(std::move(roots))) {}

ComNames ComNames::FromEnvironment()
{
    Roots roots;
    roots.portsDir = Roots::PortsDirectory();
    return ComNames(std::move(roots));
}

std::string ComNames::Resolve(std::string_view name) const
{
    return Resolved(*roots_, name);
}

std::vector<std::string> ComNames::Present() const
{
    // The ports directory is read once: asking it for a link under every number costs a look-up
    // each, which adds up on a slow or network file system.
    std::set<int> linked;
    std::error_code error;
    if (!roots_->portsDir.empty()) {
        for (const auto& entry : fs::directory_iterator(roots_->portsDir, error)) {
            if (const int n = Number(entry.path().filename().string()))
                linked.insert(n);
        }
    }
    std::set<int> numbers = linked;
    for (const TableRange& range : kTable) {
        for (int n = range.first; n < range.first + range.count; ++n)
            numbers.insert(n);
    }
    std::vector<std::string> names;
    for (int n : numbers) {
        if (IsPresent(*roots_, n, linked.contains(n)))
            names.push_back("COM" + std::to_string(n));
    }
    return names;
}

std::string ComNames::Describe(std::string_view name) const
{
    const std::string path = Resolve(name);
    if (path.empty())
        return std::string(name) + ": no such device";
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    std::string text = error ? path : target.string();
    if (const int n = Number(name); n && path == LinkPath(*roots_, n))
        text = path + " -> " + text;
    if (error)
        return text + " (not present)";
    if (const std::string usb = UsbName(*roots_, path); !usb.empty())
        text += " (" + usb + ")";
    return text;
}

ComNames::Device ComNames::Identify(std::string_view name) const
{
    const std::string path = Resolve(name);
    ComNames::Device device = path.empty() ? Device() : UsbFacts(*roots_, path);
    device.path = path;
    if (device.place.empty())
        device.node = NodeOf(path);
    return device;
}

// A USB adapter may come back under another node and another number, even in another socket.
// Back in its own socket it is itself. Elsewhere only a serial number tells, and only while no
// other adapter present has the same one: clones share theirs (many CP2102 modules say "0001"),
// and adapters without one (most CH340s) share an empty one. udev moves a by-id name shared by
// two such adapters to the one that stayed, so that name proves nothing either. A look-alike
// that was there when ours went, or was seen and not taken while it was away, is never ours.
// Anything else must come back as its own node.
ComNames::Sighting ComNames::Find(const Device& device, std::string_view preferred,
                                  const std::set<std::string>& notIt) const
{
    if (device.place.empty()) {
        const std::string path = Resolve(preferred);
        if (device.path.empty() || path != device.path || !Exists(path))
            return {};
        // The same node, or a new line behind the link of a virtual board that still runs. A
        // pseudo-terminal's number goes to the next terminal opened, another program's.
        if ((!device.node.empty() && NodeOf(path) == device.node) ||
            BoardLink::OwnerOf(path) == BoardLink::Owner::Board)
            return {std::string(preferred), {}, {}};
        return {{},
                "Not reopened: " + std::string(preferred) +
                    " leads to another device than the one that went away. Choose its port to "
                    "use it.",
                {}};
    }
    // Most often it is back where it was, under the name it had: nothing else to look at.
    if (std::error_code error; true) {
        const fs::path node = fs::canonical(Resolve(preferred), error);
        const Device facts = error ? Device() : UsbFacts(*roots_, node.string());
        if (!facts.place.empty() && facts.place == device.place && SameAdapter(facts, device))
            return {std::string(preferred), {}, {}};
    }
    const std::vector<Kin> kin = SameKind(*this, *roots_, device);
    std::set<std::string> places;
    for (const Kin& k : kin)
        places.insert(k.place);
    const bool serialTells = !device.serial.empty() && places.size() == 1;
    const auto chosen = std::find_if(kin.begin(), kin.end(), [&](const Kin& k) {
        return k.sameLine && k.place == device.place;
    });
    const auto elsewhere = std::find_if(kin.begin(), kin.end(), [&](const Kin& k) {
        return k.sameLine && serialTells && !notIt.contains(k.place);
    });
    const auto taken = chosen != kin.end() ? chosen : elsewhere;
    Sighting sighting;
    for (const Kin& k : kin) {
        if (k.sameLine && k.place != device.place && (taken == kin.end() || k.place != taken->place))
            sighting.others.insert(k.place);
    }
    if (taken != kin.end()) {
        sighting.name = LeadsTo(*this, preferred, taken->node) ? std::string(preferred) : taken->name;
        return sighting;
    }
    if (const auto alike = std::find_if(kin.begin(), kin.end(), [](const Kin& k) { return k.sameLine; });
        alike != kin.end())
        sighting.doubt = "Not reopened: " + alike->name +
                         " is an adapter of the same kind in another USB socket, and nothing tells "
                         "whether it is the one that went away. Choose its port to use it.";
    return sighting;
}

std::set<std::string> ComNames::LookAlikes(const Device& device) const
{
    std::set<std::string> places;
    if (device.place.empty())
        return places;
    for (const Kin& k : SameKind(*this, *roots_, device)) {
        if (k.sameLine && k.place != device.place)
            places.insert(k.place);
    }
    return places;
}
