#include "ClientApp.h"

#include "app/ClientDlg.h"
#include "res/ResourceIds.h"

CClientApp::CClientApp() : CWinApp("Vesmira") {}

bool CClientApp::InitInstance() {
    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED, MB_OK);
        return false;
    }
    CClientDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
