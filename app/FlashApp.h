#pragma once

#include <QApplication>

// Id of the event that carries one received byte, "wm_rec_serial"; registered once per
// process, during static initialisation.
extern const int g_nWmRecSerial;

// The application object: runs the main window as a modal dialog and then ends.
class CFlashApp : public QApplication {
public:
    CFlashApp(int& argc, char** argv);

    // Returns false: the process ends when the dialog's modal run has ended.
    bool InitInstance();
};
