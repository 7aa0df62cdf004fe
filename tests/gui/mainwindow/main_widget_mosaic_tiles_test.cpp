#include "gui/mainwindow/main_widget.h"

#include <gtest/gtest.h>
