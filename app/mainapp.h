#pragma once

#include "ingest/leftserver.h"

namespace vandra {

// Access to the shared state for code that has no other link to it (the web server).
class IGlobalState {
public:
    virtual LeftServer* getLeftServer() = 0;
    virtual RightServer* getRightServer() = 0;

protected:
    ~IGlobalState() = default; // never deleted through this interface
};

// The one application object: holds the LeftServer, which holds all shared state. Lives for
// the whole run; publishes itself in g_mainApp.
class MainApp final : public IGlobalState {
public:
    MainApp();
    ~MainApp();
    MainApp(const MainApp&) = delete;
    MainApp& operator=(const MainApp&) = delete;

    LeftServer* getLeftServer() override { return &leftServer_; }
    RightServer* getRightServer() override { return &leftServer_.getRightServer(); }

private:
    LeftServer leftServer_;
};

extern MainApp* g_mainApp;

} // namespace vandra
