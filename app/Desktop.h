#pragma once
// What the window asks of the desktop: message boxes and the shell's "open" action. One seam, so
// that tests can answer message boxes and watch links without a person or a browser.

#include <QString>
#include <QUrl>

#include <exception>

struct MessageBoxText {
    enum class Icon { None, Error };
    QString title;
    QString text;
    Icon icon = Icon::None;

    friend bool operator==(const MessageBoxText&, const MessageBoxText&) = default;
};

class Desktop {
public:
    virtual ~Desktop() = default;
    // Shows a message box with an OK button and returns when the user has answered it.
    virtual void ShowMessage(const MessageBoxText& message) = 0;
    virtual void Open(const QUrl& target) = 0;
};

class QtDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override;
    void Open(const QUrl& target) override;
};

inline const QString kApplicationTitle = QStringLiteral("Marq 4 Testprogramm");

// The application's exception display: a message box titled with the application title holding
// the exception's message. The silent abort shows nothing.
void ShowException(Desktop& desktop, std::exception_ptr error);

// Runs `action`, and shows whatever it throws instead of letting it unwind further (through the
// toolkit's event loop, where an exception must never go).
template <typename Action>
void Guarded(Desktop& desktop, Action&& action)
{
    try {
        action();
    } catch (...) {
        ShowException(desktop, std::current_exception());
    }
}
