#include "FlashApp.h"

int main(int argc, char** argv) {
    CFlashApp app(argc, argv);
    app.InitInstance();
    return 0;
}
