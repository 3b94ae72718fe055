// velkwdm: the edition that records from consumer capture devices.
#include "app/program_main.h"

int main(int argc, char** argv)
{
    return velk::programmain(velk::Edition::Wdm, argc, argv);
}
