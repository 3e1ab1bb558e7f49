#include "app/Desktop.h"
#include "app/Form1.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[])
{
    QtDesktop desktop;
    try {
        QApplication application(argc, argv);
        QApplication::setApplicationDisplayName(kApplicationTitle);
        TForm1 Form1(desktop);
        Form1.show();
        return QApplication::exec();
    } catch (...) {
        ShowException(desktop, std::current_exception());
    }
    return 0;
}
