#include "app/CommandLine.h"
#include "app/Desktop.h"
#include "app/Form1.h"

#include <QApplication>

#include <cstdio>

namespace {

void Print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

int main(int argc, char* argv[])
{
    // Options are read before the window system is asked for, so that --help and a refused
    // value need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLineResult parsed = ParseCommandLine(arguments);
    if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
        Print(exit->code == 0 ? stdout : stderr, exit->text);
        return exit->code;
    }

    QApplication application(argc, argv);
    QtDesktop desktop;
    try {
        TForm1 Form1(desktop);
        Form1.show();
        if (const auto error = ApplyStartOptions(Form1, std::get<StartOptions>(parsed))) {
            Print(stderr, QStringLiteral("marqtest: %1\n").arg(*error));
            return 2;
        }
        return QApplication::exec();
    } catch (...) {
        ShowException(desktop, std::current_exception());
    }
    return 0;
}
