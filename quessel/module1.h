// The start-up routine.
#pragma once

#include <QPointer>

#include "quessel/options.h"

namespace quessel {

class FrmMain;

namespace Module1 {

// The program's main window while it runs.
extern QPointer<FrmMain> fMainForm;

// Creates the main window and shows it; its load opens the information window and starts the proxy.
FrmMain *Main(const Options &options);

}  // namespace Module1
}  // namespace quessel
