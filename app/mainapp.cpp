#include "app/mainapp.h"

namespace vandra {

MainApp* g_mainApp = nullptr;

MainApp::MainApp() {
    g_mainApp = this;
}

MainApp::~MainApp() {
    // Only tests destroy the application object; the server ends without returning.
    if (g_mainApp == this) {
        g_mainApp = nullptr;
    }
}

} // namespace vandra
