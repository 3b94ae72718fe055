// velkasio: the edition that records from pro multichannel drivers.
#include "gui/gui_program.h"

int main(int argc, char** argv)
{
    return velk::programmain(velk::Edition::Asio, argc, argv, &velk::qtwindows());
}
