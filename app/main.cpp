#include "Form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Form1 ends the event loop itself, with the end sequence's exit status.
    app.setQuitOnLastWindowClosed(false);
    Form1 form(Module1Lines());
    form.show();
    return app.exec();
}
