#pragma once

namespace quillmere {

class Form1;
class ResultsModel;

namespace search {

// "Start Finding": while its caption reads "Stop" a click asks the running search to stop;
// otherwise it searches every folder of the folder list and appends the matches to `results`.
void startFinding(Form1& form, ResultsModel& results);

// True from the moment a run takes the caption "Stop" until it has ended, nested runs included.
bool searchRunning();

} // namespace search
} // namespace quillmere
