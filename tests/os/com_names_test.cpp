// COM names on Linux: the number in a name, the fixed table, the user's ports directory, which
// devices count as present, and the description shown to people. Runs on a made-up /dev and
// /sys tree.
#include "os/linux/BoardLink.h"
#include "os/linux/ComRoots.h"
#include "support/PortsDirectory.h"

#include <gtest/gtest.h>


#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

class FakeTree : public ::testing::Test {
protected:
    void Node(const std::string& name) const { tree_.Node(name); }
    void Write(const std::string& path, const std::string& text) const
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text << "\n";
    }
    void UartType(const std::string& node, const std::string& type) const
    {
        Write(roots_.sysTty + "/" + node + "/type", type);
    }
    // A USB serial adapter plugged into `socket` ("1-2") shows up as /dev/`node`.
    void PlugIn(const std::string& node, const std::string& socket, const std::string& serial) const
    {
        const std::string usb = base_ + "/sys/devices/usb1/" + socket;
        Write(usb + "/idVendor", "1a86");
        Write(usb + "/idProduct", "7523");
        if (!serial.empty())
            Write(usb + "/serial", serial);
        Write(usb + "/" + socket + ":1.0/bInterfaceNumber", "00");
        Write(usb + "/" + socket + ":1.0/" + node + "/port_number", "0");
        fs::create_directories(roots_.sysTty + "/" + node);
        fs::create_directory_symlink(usb + "/" + socket + ":1.0/" + node,
                                     roots_.sysTty + "/" + node + "/device");
        Node(node);
    }
    void Unplug(const std::string& node, const std::string& socket) const
    {
        fs::remove_all(base_ + "/sys/devices/usb1/" + socket);
        fs::remove_all(roots_.sysTty + "/" + node);
        fs::remove(roots_.dev + "/" + node);
    }

    const PortsDirectory tree_;
    const ComNames::Roots& roots_ = tree_.Places();
    const std::string base_ = fs::path(roots_.dev).parent_path().string();
};

} // namespace

TEST(ComNameNumber, AcceptsBothSpellingsUpToTheLastNumberAndNothingElse)
{
    EXPECT_EQ(ComNames::Number("COM1"), 1);
    EXPECT_EQ(ComNames::Number("COM9"), 9);
    EXPECT_EQ(ComNames::Number("\\\\.\\COM12"), 12);
    EXPECT_EQ(ComNames::Number("\\\\.\\COM99"), 99);
    EXPECT_EQ(ComNames::ComNumber("COM42"), 42);
    EXPECT_EQ(ComNames::ComNumber("\\\\.\\COM12"), 0) << "the driver's spelling only";
    for (const char* name : {"COM", "COM0", "COM-1", "COM+1", "COM1x", "com1", "LPT1", " COM1",
                             "\\\\.\\", "COM100", "\\\\.\\COM100", "COM99999999999",
                             "\\\\?\\COM1", ""})
        EXPECT_EQ(ComNames::Number(name), 0) << name;
}

TEST(ComNamePortsDirectory, FollowsXdgConfigHomeThenHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/somewhere/config");
    EXPECT_EQ(ComNames::Roots::PortsDirectory(), "/somewhere/config/marqtest/ports");
    qputenv("XDG_CONFIG_HOME", "");
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", "/home/tech");
    EXPECT_EQ(ComNames::Roots::PortsDirectory(), "/home/tech/.config/marqtest/ports");
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST_F(FakeTree, FixedTableMapsTheFourRanges)
{
    const ComNames names(roots_);
    const std::string dev = roots_.dev + "/";
    EXPECT_EQ(names.Resolve("COM1"), dev + "ttyS0");
    EXPECT_EQ(names.Resolve("COM32"), dev + "ttyS31");
    EXPECT_EQ(names.Resolve("\\\\.\\COM33"), dev + "ttyUSB0");
    EXPECT_EQ(names.Resolve("COM64"), dev + "ttyUSB31");
    EXPECT_EQ(names.Resolve("COM65"), dev + "ttyACM0");
    EXPECT_EQ(names.Resolve("COM96"), dev + "ttyACM31");
    EXPECT_EQ(names.Resolve("COM97"), dev + "ttyAMA0");
    EXPECT_EQ(names.Resolve("COM99"), dev + "ttyAMA2");
    EXPECT_EQ(names.Resolve("COM100"), "") << "outside every rule: a missing device";
    EXPECT_EQ(names.Resolve("LPT1"), "");
    EXPECT_EQ(names.Resolve("/dev/whatever"), "/dev/whatever") << "paths are taken as they are";
}

TEST_F(FakeTree, PortsDirectoryComesFirstUpToTheLastNumber)
{
    Node("ttyUSB3");
    fs::create_symlink(roots_.dev + "/ttyUSB3", roots_.portsDir + "/COM1");
    fs::create_symlink(roots_.dev + "/ttyUSB3", roots_.portsDir + "/COM150");
    fs::create_symlink(roots_.dev + "/gone", roots_.portsDir + "/COM2");
    const ComNames names(roots_);
    EXPECT_EQ(names.Resolve("COM1"), roots_.portsDir + "/COM1");
    EXPECT_EQ(names.Resolve("\\\\.\\COM150"), "") << "beyond COM99 a link names nothing";
    EXPECT_EQ(names.Resolve("COM2"), roots_.portsDir + "/COM2")
        << "a dangling link still names the device the user meant";
    EXPECT_EQ(names.Resolve("COM3"), roots_.dev + "/ttyS2");
}

TEST_F(FakeTree, PresentListsRealDevicesAndLiveLinksInNumberOrder)
{
    Node("ttyS0");
    UartType("ttyS0", "4");
    Node("ttyS1");
    UartType("ttyS1", "0"); // a placeholder without a UART
    Node("ttyS2");          // no sysfs entry: cannot tell, keep it
    Node("ttyUSB0");
    Node("ttyACM1");
    Node("ttyAMA2");
    Node("rfcomm0");
    fs::create_symlink(roots_.dev + "/rfcomm0", roots_.portsDir + "/COM120"); // beyond COM99
    fs::create_symlink(roots_.dev + "/gone", roots_.portsDir + "/COM5");
    fs::create_symlink(roots_.dev + "/gone", roots_.portsDir + "/COM34"); // hides ttyUSB1
    Node("ttyUSB1");
    std::ofstream(roots_.portsDir + "/notes.txt") << "not a port";

    const std::vector<std::string> expected = {"COM1", "COM3", "COM33", "COM66", "COM99"};
    EXPECT_EQ(ComNames(roots_).Present(), expected);
    EXPECT_TRUE(roots_.MachinePortPresent(3));
    EXPECT_FALSE(roots_.MachinePortPresent(2)) << "a placeholder";
    EXPECT_TRUE(roots_.MachinePortPresent(34)) << "the device, whatever the link says";
    EXPECT_FALSE(roots_.MachinePortPresent(5));
}

TEST_F(FakeTree, PresentWithoutPortsDirectoryOrDevicesIsEmpty)
{
    ComNames::Roots roots = roots_;
    roots.portsDir = base_ + "/missing";
    EXPECT_TRUE(ComNames(roots).Present().empty());
    roots.portsDir.clear();
    EXPECT_TRUE(ComNames(roots).Present().empty());
}

TEST_F(FakeTree, DescriptionNamesThePathAndTheUsbAdapter)
{
    Node("ttyUSB0");
    fs::create_symlink(roots_.dev + "/ttyUSB0", roots_.byId + "/usb-FTDI_FT232R_A50-if00-port0");
    const ComNames names(roots_);
    const std::string usb = names.Describe("COM33");
    EXPECT_NE(usb.find(fs::canonical(roots_.dev + "/ttyUSB0").string()), std::string::npos) << usb;
    EXPECT_NE(usb.find("usb-FTDI_FT232R_A50-if00-port0"), std::string::npos) << usb;

    // Without a by-id link the USB device's own strings are used.
    Node("ttyACM0");
    const std::string usbDevice = base_ + "/sys/devices/usb1/1-1";
    Write(usbDevice + "/product", "Timing Adapter");
    Write(usbDevice + "/manufacturer", "Acme");
    fs::create_directories(usbDevice + "/1-1:1.0");
    fs::create_directories(roots_.sysTty + "/ttyACM0");
    fs::create_directory_symlink(usbDevice + "/1-1:1.0", roots_.sysTty + "/ttyACM0/device");
    const std::string acm = names.Describe("COM65");
    EXPECT_NE(acm.find("Acme Timing Adapter"), std::string::npos) << acm;

    fs::create_symlink(roots_.dev + "/ttyACM0", roots_.portsDir + "/COM7");
    const std::string linked = names.Describe("COM7");
    EXPECT_EQ(linked.rfind(roots_.portsDir + "/COM7 -> ", 0), 0u) << linked;

    EXPECT_NE(names.Describe("COM4").find("not present"), std::string::npos);
    EXPECT_NE(names.Describe("LPT1").find("no such device"), std::string::npos);
}

TEST_F(FakeTree, AnUnpluggedDeviceIsFoundAgainWhereverItComesBack)
{
    // An adapter with a serial number comes back under another ttyUSB number, in another socket.
    PlugIn("ttyUSB0", "1-1", "A50");
    const ComNames names(roots_);
    const ComNames::Device adapter = names.Identify("COM33");
    Unplug("ttyUSB0", "1-1");
    EXPECT_EQ(names.Find(adapter, "COM33").name, "") << "away";
    PlugIn("ttyUSB1", "1-3", "A50");
    EXPECT_EQ(names.Find(adapter, "COM33").name, "COM34");
    fs::create_symlink(roots_.dev + "/ttyUSB1", roots_.portsDir + "/COM5");
    EXPECT_EQ(names.Find(adapter, "COM5").name, "COM5") << "the number it had, while that leads there";

    // Without USB facts it is the same node again, never a node made anew at that path: a
    // pseudo-terminal's number goes to the next terminal opened (the new file is made while the
    // old one still exists, as the kernel keeps a terminal's node until its last close).
    const std::string pts = roots_.dev + "/pts7";
    fs::create_symlink(pts, roots_.portsDir + "/COM7");
    Node("pts7");
    const ComNames::Device linked = names.Identify("COM7");
    fs::remove(roots_.portsDir + "/COM7");
    EXPECT_EQ(names.Find(linked, "COM7").name, "");
    fs::create_symlink(pts, roots_.portsDir + "/COM7");
    EXPECT_EQ(names.Find(linked, "COM7").name, "COM7") << "its own node";
    std::ofstream(pts + ".new") << "";
    fs::rename(pts + ".new", pts);
    const ComNames::Sighting reused = names.Find(linked, "COM7");
    EXPECT_EQ(reused.name, "") << "another program's terminal";
    EXPECT_NE(reused.doubt.find("COM7"), std::string::npos) << reused.doubt;
    // A virtual board that still runs vouches for the new line behind its link.
    const UniqueFd board = BoardLink::LockMarker(roots_.portsDir + "/COM7");
    ASSERT_TRUE(board.valid());
    BoardLink::WriteTarget(board.get(), pts);
    EXPECT_EQ(names.Find(linked, "COM7").name, "COM7");
    fs::remove(roots_.portsDir + "/COM7");
    EXPECT_EQ(names.Find(linked, "COM7").name, "") << "the link is gone";
}

TEST_F(FakeTree, AnAdapterPresentWhenOursWentOrSeenWhileItWasAwayIsNeverOurs)
{
    // Clones share a serial number. Ours in socket 1-1 goes; the one in 1-2 stayed.
    PlugIn("ttyUSB0", "1-1", "0001");
    PlugIn("ttyUSB1", "1-2", "0001");
    const ComNames names(roots_);
    const ComNames::Device ours = names.Identify("COM33");
    std::set<std::string> notIt = names.LookAlikes(ours);
    Unplug("ttyUSB0", "1-1");
    ComNames::Sighting away = names.Find(ours, "COM33", notIt);
    EXPECT_EQ(away.name, "") << "the board that stayed";
    EXPECT_NE(away.doubt.find("COM34"), std::string::npos) << away.doubt;
    notIt.merge(away.others);
    // Back in another socket while the clone is there: the shared serial tells nothing.
    PlugIn("ttyUSB2", "1-3", "0001");
    EXPECT_EQ(names.Find(ours, "COM33", notIt).name, "");
    Unplug("ttyUSB2", "1-3");
    PlugIn("ttyUSB2", "1-1", "0001");
    EXPECT_EQ(names.Find(ours, "COM33", notIt).name, "COM35") << "back in its own socket";

    // Two clones turn up while another adapter is away, then one goes: the other is no more
    // ours than before.
    PlugIn("ttyUSB5", "2-1", "B7");
    const ComNames::Device second = names.Identify("COM38");
    std::set<std::string> notSecond = names.LookAlikes(second);
    EXPECT_TRUE(notSecond.empty());
    Unplug("ttyUSB5", "2-1");
    PlugIn("ttyUSB6", "2-2", "B7");
    PlugIn("ttyUSB7", "2-3", "B7");
    away = names.Find(second, "COM38", notSecond);
    EXPECT_EQ(away.name, "");
    notSecond.merge(away.others);
    Unplug("ttyUSB7", "2-3");
    EXPECT_EQ(names.Find(second, "COM38", notSecond).name, "");
}

TEST_F(FakeTree, OfTwoAdaptersThatCannotBeToldApartOnlyTheOneInTheSameSocketIsTheLostOne)
{
    // Two adapters without a serial number share one by-id name; udev points it at one of them
    // and moves it to the other when that one goes.
    PlugIn("ttyUSB0", "1-1", "");
    PlugIn("ttyUSB1", "1-2", "");
    const std::string byId = roots_.byId + "/usb-1a86_USB_Serial-if00-port0";
    fs::create_symlink(roots_.dev + "/ttyUSB0", byId);
    const ComNames names(roots_);
    const ComNames::Device pulled = names.Identify("COM33");
    Unplug("ttyUSB0", "1-1");
    fs::remove(byId);
    fs::create_symlink(roots_.dev + "/ttyUSB1", byId);
    const ComNames::Sighting away = names.Find(pulled, "COM33");
    EXPECT_EQ(away.name, "") << "the board that stayed is not the one pulled";
    EXPECT_NE(away.doubt.find("COM34"), std::string::npos) << away.doubt;

    PlugIn("ttyUSB2", "1-1", "");
    EXPECT_EQ(names.Find(pulled, "COM33").name, "COM35") << "back in its own socket";
}
