// A guided run of the window on the simulated sensor for a machine without a display:
// connect, read the parameters, measure, stream, each step saved as a picture and told on
// the terminal. Boxes the program would show are printed instead of waiting for a person.
#pragma once

#include <QString>

namespace karvo {

class TFormMain;

// Runs the tour in `dir` (created if missing); true when every step did what it should.
bool RunTour(TFormMain& form, const QString& dir);

}  // namespace karvo
