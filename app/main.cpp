#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/Desktop.h"
#include "app/Form1.h"
#include "app/LineCheckRun.h"
#include "app/LineCheckWindow.h"
#include "app/LineTimingWatch.h"
#include "app/ScriptedRun.h"
#include "os/ComNames.h"

#include <QApplication>

#include <cstdio>
#include <optional>

int main(int argc, char* argv[])
{
    // Options are read before the window system is asked for, so that --help, --version and a
    // refused value need no display.
    UseStartingConsole();
    const CommandLineResult parsed = ParseCommandLine(ProgramArguments(argc, argv));
    if (const auto* exit = std::get_if<CommandLineExit>(&parsed)) {
        Print(exit->code == 0 ? stdout : stderr, exit->text);
        return exit->code;
    }
    const auto& options = std::get<StartOptions>(parsed);
    // Where COM names lead, for everything below.
    const ComNames names = ComNames::FromEnvironment();
    if (options.check || options.replay) {
        QCoreApplication application(argc, argv);
        return RunWithoutWindow(
            names, options, [](const QString& text) { Print(stdout, text + '\n'); },
            [](const QString& text) { Print(stderr, "marqtest: " + text + '\n'); });
    }

    QApplication application(argc, argv);
    QtDesktop windowDesktop;
    std::optional<ScriptedRun> script;
    if (options.runFor)
        script.emplace([](const QString& message) { Print(stderr, "marqtest: " + message + '\n'); });
    Desktop& desktop = script ? static_cast<Desktop&>(*script) : windowDesktop;
    try {
        TForm1 Form1(desktop, names);
        LineTimingWatch timing(Form1);
        LineCheckWindow::Offer(Form1);
        Form1.show();
        if (script)
            script->Watch(Form1, options.port.has_value());
        if (const auto error = ApplyStartOptions(Form1, options)) {
            Print(stderr, QStringLiteral("marqtest: %1\n").arg(*error));
            return 2;
        }
        const int code = QApplication::exec();
        if (!script)
            return code;
        const int status = script->Finish(Form1);
        Print(stdout, QString::fromStdString(timing.Summary()) + '\n');
        return status;
    } catch (...) {
        ShowException(desktop, std::current_exception());
    }
    return script ? 1 : 0;
}
