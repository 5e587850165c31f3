// Programs and tests without a display run on the offscreen platform, which answers every
// change of a window's size limits with a warning that says nothing about the program and
// buries what does.
#pragma once

namespace karvo {

// Puts a message handler in front of the one in place that drops exactly that warning and
// hands every other message on.
void DropPluginChatter();

}  // namespace karvo
