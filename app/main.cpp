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
    // Help needs no display: answered before the window system is asked for.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    if (AsksForHelp(rawArguments.mid(1))) {
        Print(stdout, HelpText());
        return 0;
    }

    QApplication application(argc, argv);
    QtDesktop desktop;
    try {
        const CommandLineResult parsed = ParseCommandLine(QApplication::arguments());
        if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
            Print(exit->code == 0 ? stdout : stderr, exit->text);
            return exit->code;
        }
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
