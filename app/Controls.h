#pragma once
// The window's control kinds. Each is a thin class of its own so that the layout pass can pick
// controls by class name, and each remembers the window edges it is anchored to.

#include <QCheckBox>
#include <QComboBox>
#include <QFlags>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QString>

enum TAnchorKind { akLeft = 0x1, akTop = 0x2, akRight = 0x4, akBottom = 0x8 };
Q_DECLARE_FLAGS(TAnchors, TAnchorKind)
Q_DECLARE_OPERATORS_FOR_FLAGS(TAnchors)

// Where a control sits in its window and what it tells the user about itself.
struct ControlPlace {
    QRect bounds;
    QString hint;
    TAnchors anchors = {akLeft, akTop};
};

class TControl {
public:
    explicit TControl(TAnchors anchors) : anchors_(anchors) {}
    virtual ~TControl() = default;
    TAnchors Anchors() const { return anchors_; }
    void SetAnchors(TAnchors anchors) { anchors_ = anchors; }

private:
    TAnchors anchors_;
};

class TLabel : public QLabel, public TControl {
    Q_OBJECT
public:
    TLabel(QWidget* parent, const QString& caption, const ControlPlace& place);
    // Labels size themselves to their caption, keeping their top-left corner.
    void SetCaption(const QString& caption);
    void SetLinkStyle();
    // Replaces the tool tip the label was placed with.
    void SetHint(const QString& hint);
    // Keeps captions within `width` pixels: wrapped over at most `lines` lines, the rest elided;
    // the whole caption then shows in the tool tip as well.
    void SetTextBox(int width, int lines);

signals:
    void Click();
    // SetCaption wrote a caption other than the one shown.
    void CaptionChanged(const QString& caption);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList BoxLines() const;

    QString hint_;
    int boxWidth_ = 0;
    int boxLines_ = 0;
};

class TButton : public QPushButton, public TControl {
    Q_OBJECT
public:
    TButton(QWidget* parent, const QString& caption, const ControlPlace& place);
};

class TComboBox : public QComboBox, public TControl {
    Q_OBJECT
public:
    TComboBox(QWidget* parent, const QStringList& items, const ControlPlace& place);
    void showPopup() override;

signals:
    // The list is about to open: the moment to bring its items up to date.
    void DropDown();
};

class TCheckBox : public QCheckBox, public TControl {
    Q_OBJECT
public:
    TCheckBox(QWidget* parent, const QString& caption, const ControlPlace& place);
};

class TEdit : public QLineEdit, public TControl {
    Q_OBJECT
public:
    TEdit(QWidget* parent, const QString& text, const ControlPlace& place);
};

class TTrackBar : public QSlider, public TControl {
    Q_OBJECT
public:
    TTrackBar(QWidget* parent, int minimum, int maximum, int position, const ControlPlace& place);
};
