#pragma once

namespace quillmere {

class Form1;

// "Load Sample/Example Folders": lists the Samples folder beside the program, offers to open it,
// and sets the phrase the sample files answer to.
void loadSampleFolders(Form1& form);

} // namespace quillmere
