// A tiny storage SCP (and SCU) on the layer's own network set-up and DIMSE
// operations, for manual measurements against real peers:
//   dicomnet_testscp PORT [ASSOCIATIONS]
//       serves that many associations (default 1) one after another;
//   dicomnet_testscp --send PORT FILE...
//       sends the files to 127.0.0.1:PORT over one association.
// Run it inside scripts/netns-exec.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dcmtk/dcmdata/dcfilefo.h"
#include "dcmtk/dcmdata/dcuid.h"
#include "testprovider.h"

static int send_files(int port, int nfiles, char **files)
{
    T_ASC_Network *net = dicomnet_net_init(30);
    if (net == nullptr)
        return 1;
    std::string peer = "127.0.0.1:" + std::to_string(port);
    T_ASC_Parameters *params =
        dicomnet_params_init("TESTSCU", nullptr, "ANY-SCP", peer.c_str(), false, 16384);
    if (params == nullptr)
        return 1;
    for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs && i < 128; i++)
        if (dicomnet_params_add_std_PC(params, 2 * i + 1, dcmAllStorageSOPClassUIDs[i]).bad())
            break;
    T_ASC_Association *assoc = nullptr;
    int rc = dicomnet_associate(&assoc, net, params);
    int failed = 0;
    for (int i = 0; rc == 0 && i < nfiles; i++) {
        DcmFileFormat file;
        if (file.loadFile(files[i]).bad() || dicomnet_SCU_store(assoc, file.getDataset()).bad())
            failed++;
    }
    dicomnet_dissociate(&assoc, EC_Normal);
    dicomnet_net_exit(net);
    if (rc != 0 || failed != 0) {
        fprintf(stderr, "dicomnet_testscp: associate %d, %d failed\n", rc, failed);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    dicomnet_quiet_toolkit_log();
    if (argc >= 3 && strcmp(argv[1], "--send") == 0)
        return send_files(atoi(argv[2]), argc - 3, argv + 3);
    if (argc < 2) {
        fprintf(stderr, "usage: dicomnet_testscp PORT [ASSOCIATIONS] | --send PORT FILE...\n");
        return 2;
    }
    int port = atoi(argv[1]);
    int count = argc > 2 ? atoi(argv[2]) : 1;
    T_ASC_Network *net = dicomnet_net_init_listen(port, 0);
    if (net == nullptr) {
        fprintf(stderr, "dicomnet_testscp: cannot listen on port %d\n", port);
        return 1;
    }
    for (int i = 0; i < count; i++)
        testprovider_serve_one(net, PROVIDER_SERVE, -1);
    dicomnet_net_exit(net);
    return 0;
}
