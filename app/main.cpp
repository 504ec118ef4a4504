#include "Module1Lines.h"
#include "qt/Form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Module1Lines port;
    Form1 form(port);
    form.show();
    return app.exec();
}
