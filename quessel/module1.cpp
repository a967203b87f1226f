#include "quessel/module1.h"

#include "quessel/frmmain.h"

namespace quessel::Module1 {

QPointer<FrmMain> fMainForm;

FrmMain *Main(const Options &options) {
    fMainForm = new FrmMain(options);
    fMainForm->setAttribute(Qt::WA_DeleteOnClose);
    fMainForm->show();
    return fMainForm;
}

}  // namespace quessel::Module1
