#pragma once
// Private to the control-column sources: a panel control reaches a window
// member through MainWidget::reach, named by the call's own text, so that a
// test can tell which member a click or an edit reached.
#define TAVRO_REACH(call) reach(#call, [&] { call; })
