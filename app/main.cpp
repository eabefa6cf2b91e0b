#include "app/startup.h"

int main(int argc, char** argv) {
    return vandra::runServer(argc, argv);
}
