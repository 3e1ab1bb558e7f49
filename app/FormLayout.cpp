#include "app/FormLayout.h"

#include "app/Controls.h"

#include <QWidget>

#include <algorithm>

namespace {

constexpr long double kScaleFactor = 1000.0L / 923.0L;

int Scale(int value)
{
    return static_cast<int>(value * kScaleFactor); // toward zero
}

bool InLayoutClassList(const QObject& object)
{
    return object.isWidgetType() &&
           LayoutClassNames().contains(QLatin1String(object.metaObject()->className()));
}

TAnchors AnchorsOf(const QObject& object)
{
    const auto* control = dynamic_cast<const TControl*>(&object);
    return control ? control->Anchors() : TAnchors{akLeft, akTop};
}

bool HasNinePointFont(const QWidget& window)
{
    return window.font().pointSizeF() == 9.0;
}

} // namespace

const QStringList& LayoutClassNames()
{
    static const QStringList names = {
        "TLabel",       "TButton",        "TMemo",         "TComboBox",    "TEdit",
        "TBitBtn",      "TSpeedButton",   "TMaskEdit",     "TCheckBox",    "TRadioButton",
        "TListBox",     "TGroupBox",      "TRadioGroup",   "TScrollBar",   "TPanel",
        "TTabControl",  "TPageControl",   "TRichEdit",     "TProgressBar", "TTrackBar",
        "TUpDown",      "TBevel",         "TScrollBox",    "TCheckListBox", "TStaticText",
        "TValueListEditor", "TLabeledEdit", "TDBGrid",     "TDBNavigator", "TDBText",
        "TDBEdit",      "TDBMemo",        "TDBImage",      "TImage",       "TShape",
        "TDrawGrid",    "TStringGrid",    "TSplitter",     "TControlBar",  "TColorBox",
        "TComboBoxEx",  "TMediaPlayer",   "TPaintBox"};
    return names;
}

QSize FrameExtent(const QWidget& window)
{
    const QSize outer = window.frameGeometry().size();
    if (window.isVisible() && outer != window.size())
        return outer - window.size();
    return QSize(0, kDesignFrameHeight);
}

void AdjustFormLayout(QWidget& window, bool scaled, QSize frame)
{
    if (scaled && HasNinePointFont(window)) {
        for (QObject* child : window.children()) {
            if (!InLayoutClassList(*child))
                continue;
            auto* control = static_cast<QWidget*>(child);
            QRect bounds = control->geometry();
            bounds.moveTop(Scale(bounds.top()));
            bounds.setHeight(Scale(bounds.height()));
            bounds.setWidth(Scale(bounds.width()));
            bounds.moveLeft(Scale(bounds.left()));
            control->setGeometry(bounds);
        }
        const QRect client = window.geometry();
        const int outerHeight = Scale(client.height() + frame.height());
        const int outerWidth = Scale(client.width() + frame.width());
        window.move(Scale(window.x()), Scale(window.y()));
        window.resize(std::max(0, outerWidth - frame.width()),
                      std::max(0, outerHeight - frame.height()));
    }

    // With the frame the design allowed for, bottom-anchored controls stay where they are; a
    // taller frame leaves less client area and moves them up. A thinner one (none at all, say)
    // must not push them out of the client area.
    const int clientHeight = window.height();
    const int outerHeight = clientHeight + frame.height();
    for (QObject* child : window.children()) {
        if (!InLayoutClassList(*child) || !AnchorsOf(*child).testFlag(akBottom))
            continue;
        auto* control = static_cast<QWidget*>(child);
        int top = control->y() + clientHeight - outerHeight + kDesignFrameHeight;
        top = std::max(0, std::min(top, clientHeight - control->height()));
        control->move(control->x(), top);
    }
}
