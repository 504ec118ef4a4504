// form1_preview: the window Form1 over FakeSerial (COM2 opens, CTS stays
// off), so that its look can be checked, and screenshots taken, on a machine
// without serial ports and without touching any that it has.
#include "FakeSerial.h"
#include "qt/Form1.h"

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    FakeSerial fake;
    // The end line goes to a log that is thrown away with the directory.
    const QTemporaryDir logDir;
    Form1 form(fake, counting::LocalTimeOfDay, logDir.filePath(QStringLiteral("NAMERENO.TXT")).toStdString());
    form.show();
    return app.exec();
}
