#include "app/ClientApp.h"

CClientApp theApp;

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
