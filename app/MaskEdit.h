#pragma once
// An edit with a fixed pattern: "c" positions take one optional character of any kind, other
// pattern characters are fixed separators. The edit mask has three fields separated by ";": the
// pattern, "1" when the separators belong to the text (else "0"), and the character that shows
// empty positions while the user edits. Empty positions read as blanks, so the text has a fixed
// length.

#include "app/Controls.h"

class TMaskEdit : public QLineEdit, public TControl {
    Q_OBJECT
public:
    TMaskEdit(QWidget* parent, const QString& editMask, const ControlPlace& place);

    // The text as the window reads it: empty positions as blanks.
    QString Text() const;

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // Shows empty positions as `shown`, keeping what has been typed.
    void ShowEmptyAs(QChar shown);

    QString pattern_;
    bool separatorsInText_ = true;
    QChar editingBlank_ = QLatin1Char('_');
    QChar shownBlank_ = QLatin1Char(' ');
};
