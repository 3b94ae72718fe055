// velkwdm: the edition that records from consumer capture devices.
#include "gui/gui_program.h"

int main(int argc, char** argv)
{
    return velk::programmain(velk::Edition::Wdm, argc, argv, &velk::qtwindows());
}
