// The window as built: controls, texts, order, links, version caption, and the exception display.
#include "WindowFixture.h"

#include "app/FormLayout.h"
#include "os/VersionInfo.h"
#include "lang/Exceptions.h"

namespace {

using WindowLayoutTest = WindowTest;

TEST_F(WindowLayoutTest, CaptionCarriesTheVersion)
{
    EXPECT_EQ(form->windowTitle().toStdString(), AppendVersion("Marq4/Marq5/Lyra Testprogram"));
    EXPECT_EQ(form->size(), QSize(419, 501));
}

TEST_F(WindowLayoutTest, ControlsInCreationOrderWithTheirClasses)
{
    const char* expected[][2] = {
        {"Schnittstelle", "TLabel"}, {"Daten", "TLabel"}, {"Text2", "TLabel"}, {"Test1", "TLabel"},
        {"Baudrate", "TLabel"}, {"WebsiteL", "TLabel"}, {"BugreportsL", "TLabel"},
        {"Label4", "TLabel"}, {"Label5", "TLabel"}, {"Label6", "TLabel"}, {"IPL", "TLabel"},
        {"PortL", "TLabel"}, {"BrightnessL", "TLabel"}, {"TimeoutL", "TLabel"},
        {"TimeoutValueL", "TLabel"}, {"BrightneswsValueL", "TLabel"}, {"Button1", "TButton"},
        {"Button2", "TButton"}, {"End", "TButton"}, {"ActualTime", "TButton"},
        {"Dauertest", "TButton"}, {"Port", "TComboBox"}, {"Baud", "TComboBox"},
        {"Address", "TComboBox"}, {"SendData", "TButton"}, {"BestNr", "TMaskEdit"},
        {"BestPunkte", "TMaskEdit"}, {"Bestzeit", "TMaskEdit"}, {"KappaMode", "TCheckBox"},
        {"Lyra", "TCheckBox"}, {"RotateRight", "TCheckBox"}, {"RemoveDPCB", "TCheckBox"},
        {"RemoveDecPtCB", "TCheckBox"}, {"SendUDPCB", "TCheckBox"}, {"IPE", "TEdit"},
        {"PortE", "TEdit"}, {"LyraBrightnessTB", "TTrackBar"}, {"TimeDateB", "TButton"},
        {"TimeoutTB", "TTrackBar"}, {"Timer1", "TTimer"}, {"NMUDP1", "TNMUDP"}};
    std::vector<std::pair<std::string, std::string>> actual;
    for (const QObject* child : form->children()) {
        if (!child->objectName().isEmpty())
            actual.emplace_back(child->objectName().toStdString(), child->metaObject()->className());
    }
    ASSERT_EQ(actual.size(), std::size(expected));
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].first, expected[i][0]);
        EXPECT_EQ(actual[i].second, expected[i][1]) << expected[i][0];
    }
}

TEST_F(WindowLayoutTest, TabOrderFromPortListToTimeoutTrackBar)
{
    const std::vector<QWidget*> expected = {
        form->Port,  form->Baud,     form->Button1,      form->ActualTime, form->Button2,
        form->Dauertest, form->SendData, form->BestNr,   form->Bestzeit,   form->BestPunkte,
        form->Lyra,  form->KappaMode, form->RotateRight, form->RemoveDPCB, form->RemoveDecPtCB,
        form->Address, form->SendUDPCB, form->IPE,       form->PortE,      form->End,
        form->LyraBrightnessTB, form->TimeDateB, form->TimeoutTB};
    for (std::size_t i = 1; i < expected.size(); ++i)
        EXPECT_EQ(expected[i - 1]->nextInFocusChain(), expected[i]) << i;
}

TEST_F(WindowLayoutTest, StartingStateAndTexts)
{
    EXPECT_EQ(form->Schnittstelle->text(), "???");
    EXPECT_EQ(form->Port->itemText(0), "none");
    EXPECT_EQ(form->Port->currentIndex(), 0);
    EXPECT_EQ(form->Baud->currentText(), "2400");
    EXPECT_EQ(form->BestNr->Text(), "   ");
    EXPECT_EQ(form->Bestzeit->Text(), "  :  :  .   ");
    EXPECT_EQ(form->BestPunkte->Text(), "  ");
    EXPECT_EQ(form->RemoveDPCB->text(), "Remove \":\"");
    EXPECT_EQ(form->RemoveDecPtCB->toolTip(), "Remove all \".\" from protocol");
    EXPECT_EQ(form->Button1->toolTip(), "Show all Digits");
    EXPECT_EQ(form->LyraBrightnessTB->value(), 5);
    EXPECT_EQ(form->TimeoutTB->maximum(), 99);
    EXPECT_EQ(form->Button1->geometry(), QRect(40, 56, 137, 33));
    EXPECT_EQ(form->End->geometry(), QRect(286, 444, 89, 25));
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_FALSE(form->Channel().ok());

    QStringList addresses;
    for (int i = 0; i < form->Address->count(); ++i)
        addresses << form->Address->itemText(i);
    EXPECT_EQ(addresses.join(""), "NONEABCDEFGHIJLMNOPQRSTUVWXYZ[\\]");
    EXPECT_EQ(addresses.size(), 29);
}

TEST_F(WindowLayoutTest, EveryTextFitsItsPlace)
{
    for (const QObject* child : form->children()) {
        if (const auto* label = qobject_cast<const QLabel*>(child)) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->objectName().toStdString();
        }
    }
    EXPECT_LE(form->BestNr->geometry().right(), form->Bestzeit->x());
    EXPECT_LE(form->Bestzeit->geometry().right(), form->BestPunkte->x());
    EXPECT_LE(form->WebsiteL->geometry().bottom(), form->height());
    EXPECT_LE(form->BugreportsL->geometry().bottom(), form->height());
}

TEST_F(WindowLayoutTest, LongStatusStaysClearOfItsNeighbours)
{
    const QString message = "Can't perform this operation on an open port, nor on a closed one";
    form->Schnittstelle->SetCaption(message);
    EXPECT_EQ(form->Schnittstelle->text(), message);
    EXPECT_LT(form->Schnittstelle->geometry().right(), form->Baudrate->x());
    EXPECT_LT(form->Schnittstelle->geometry().bottom(), form->Button1->y());
    EXPECT_LT(form->Schnittstelle->geometry().bottom(), form->ActualTime->y());
    EXPECT_TRUE(form->Schnittstelle->toolTip().contains(message)) << "the whole text stays at hand";

    form->Schnittstelle->SetCaption("COM7 OK!");
    EXPECT_EQ(form->Schnittstelle->toolTip(), "Status of interface");
    EXPECT_EQ(form->Schnittstelle->height(), form->Schnittstelle->fontMetrics().height());
}

TEST_F(WindowLayoutTest, LinksOpenThroughTheDesktop)
{
    Click(form->WebsiteL);
    Click(form->BugreportsL);
    ASSERT_EQ(desktop.opened.size(), 2u);
    EXPECT_EQ(desktop.opened[0].host(), "www.example.com");
    EXPECT_EQ(desktop.opened[1].scheme(), "mailto");
    EXPECT_EQ(QUrl::fromPercentEncoding(desktop.opened[1].toEncoded()).toStdString(),
              "mailto:office@example.com?subject= Marq4/Marq5/Lyra Testprogram V1.9.6.1");
}

TEST(ExceptionDisplay, ShowsMessagesAndStaysQuietForTheSilentAbort)
{
    RecordingDesktop desktop;
    Guarded(desktop, [] { throw EAbort(); });
    EXPECT_TRUE(desktop.messages.empty());
    Guarded(desktop, [] { throw Exception("Could not do it"); });
    Guarded(desktop, [] { throw 42; });
    ASSERT_EQ(desktop.messages.size(), 2u);
    EXPECT_EQ(desktop.messages[0].title, "Marq 4 Testprogramm");
    EXPECT_EQ(desktop.messages[0].text, "Could not do it");
    EXPECT_EQ(desktop.messages[0].icon, MessageBoxText::Icon::Error);
}

} // namespace
