#include "app/Desktop.h"

#include "lang/Exceptions.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>

void QtDesktop::ShowMessage(const MessageBoxText& message)
{
    QMessageBox box(message.icon == MessageBoxText::Icon::Error ? QMessageBox::Critical
                                                                : QMessageBox::NoIcon,
                    message.title, message.text, QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtDesktop::Open(const QUrl& target)
{
    QDesktopServices::openUrl(target);
}

void ShowException(Desktop& desktop, std::exception_ptr error)
{
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return;
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
        text = QStringLiteral("Unknown exception");
    }
    desktop.ShowMessage({kApplicationTitle, text, MessageBoxText::Icon::Error});
}
