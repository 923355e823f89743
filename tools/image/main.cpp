// tqblk-image: publishes disk images to an image root as deduplicated, compressed extent
// chunks with a manifest, from which tqblk-recalld recalls them with every byte checked;
// shows and checks what is published.
#include "Cli.h"
#include "Commands.h"
#include "TopLevel.h"

#include <sys/stat.h>

#include <functional>

namespace {

using namespace imagetool;

const char kFooter[] =
    "Exit status: 0 done, 1 the operation failed (verify: a chunk is bad or missing), 2 bad "
    "usage.\nAn image root is a directory, file:///DIR, s3://BUCKET[/PREFIX] or (read only) "
    "http(s)://HOST/PATH; a manifest location is ROOT/manifests/NAME.\nEnvironment: "
    "AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_PROFILE, "
    "AWS_SHARED_CREDENTIALS_FILE, AWS_ENDPOINT_URL, AWS_REGION for s3:// roots.";

const CLI::Validator named = tqtools::nonEmpty();

class CommandLine {
  public:
    CommandLine()
        : m_app("Publishes disk images as deduplicated, compressed, checked extent chunks.",
                "tqblk-image") {
        m_app.set_version_flag("--version", std::string("tqblk-image ") + TQBLK_TOOLS_VERSION);
        m_app.require_subcommand(1);
        m_app.fallthrough();
        m_app.footer(kFooter);
        addRemoteOptions();
        addPush();
        addInfo();
        addVerify();
    }

    int run(int argc, char** argv) { return tqtools::runSubcommand(m_app, argc, argv, m_run); }

  private:
    CLI::App* command(const std::string& name, const std::string& description) {
        return tqtools::addSubcommand(m_app, name, description, kFooter);
    }

    // The names tqblk-recalld gives them, with an s3- spelling beside the first two.
    void addRemoteOptions() {
        CLI::Option_group* remote = m_app.add_option_group("Remote image roots");
        remote
            ->add_option("--endpoint,--s3-endpoint", m_options.endpoint,
                         "S3 endpoint for Ceph, MinIO and other S3 stores, addressed path-style "
                         "(else AWS_ENDPOINT_URL, else AWS)")
            ->type_name("URL")
            ->check(named);
        remote
            ->add_option("--region,--s3-region", m_options.region,
                         "S3 region (else AWS_REGION, else us-east-1)")
            ->type_name("NAME")
            ->check(named);
        remote
            ->add_option("--cacert", m_options.cacert,
                         "also trust the CAs in FILE for https (the system's CAs are always used)")
            ->type_name("FILE")
            ->check(named);
        remote
            ->add_option("--netrc-file", m_options.netrcFile,
                         "http(s) credentials per host from this netrc(5) file, kept out of the "
                         "URL")
            ->type_name("FILE")
            ->check(named);
        tqtools::addInteger(remote, "--remote-tries", &m_options.tries, 1, 1000,
                            "attempts per remote request, the first included (default 10)");
    }

    void addJobs(CLI::App* sub, int* jobs, const char* what) {
        tqtools::addInteger(
            sub, "-j,--jobs", jobs, 1, 1024,
            std::string("threads ") + what + " (default: four per CPU, at least 8)");
    }

    void addPush() {
        CLI::App* p = command(
            "push",
            "Publish IMAGE (a file or block device) to ROOT: its extents are hashed, all-zero ones "
            "left out, the others compressed and uploaded as chunks unless ROOT holds them "
            "already (from this or any other image), then the manifest ROOT/manifests/NAME is "
            "written. A rerun after a failure uploads only what is missing. A manifest never "
            "changes: pushing another image under a published name is refused.");
        p->add_option("IMAGE", m_push.image, "the image file or block device")
            ->required()
            ->check(named);
        p->add_option("ROOT", m_push.root, "the image root")->required()->check(named);
        tqtools::addSize(p, "--extent-size", &m_push.extentSize, 4096, 1LL << 30,
                         "the extent size of the devices that will recall the image: a power of "
                         "two from 4 KiB to 1 GiB (bytes, or with K, M, G, KiB, MiB, GiB)")
            ->required();
        p->add_option("--name", m_push.name,
                      "the manifest's name: 1 to 128 of A-Z a-z 0-9 . _ -, not starting with '.' "
                      "(default: IMAGE's file name)")
            ->type_name("NAME")
            ->check(named);
        tqtools::addInteger(p, "--level", &m_push.level, 1, 19,
                            "zstd compression level (default 3)");
        addJobs(p, &m_push.jobs, "reading, hashing, compressing and uploading");
        p->add_flag("--json", m_push.json,
                    "print the summary as one object: {name, root, manifest, already_published, "
                    "size, extent_size, extents, zero_extents, chunks_uploaded, chunks_present, "
                    "chunks_repaired, bytes_read, bytes_stored, compression_ratio, seconds, "
                    "mib_per_second}");
        p->add_flag("--repair", m_push.repair,
                    "also fetch each chunk already at the root and check it against its digest; "
                    "upload again each one that fails or is missing, a published image's too");
        p->callback([this] { m_run = [this] { return push(m_push, m_options); }; });
    }

    void addInfo() {
        CLI::App* i = command("info",
                              "Read and check a manifest; print the image's name, size, extent "
                              "size, extents, zero extents, distinct chunks, their stored bytes "
                              "and the manifest's digest.");
        i->add_option("MANIFEST", m_inspect.location, "ROOT/manifests/NAME")
            ->required()
            ->check(named);
        i->add_flag("--json", m_inspect.json,
                    "one object: {name, root, size, extent_size, extents, zero_extents, chunks, "
                    "stored_bytes, sha256}");
        i->callback([this] { m_run = [this] { return info(m_inspect, m_options); }; });
    }

    void addVerify() {
        CLI::App* v = command("verify",
                              "Fetch every chunk a manifest names, decode it and check it against "
                              "its digest; print each bad or missing chunk and a summary.");
        v->add_option("MANIFEST", m_inspect.location, "ROOT/manifests/NAME")
            ->required()
            ->check(named);
        addJobs(v, &m_inspect.jobs, "fetching and checking chunks");
        v->add_flag("--json", m_inspect.json,
                    "print one object in place of the lines: {name, root, chunks, bad: [{digest, "
                    "why}], missing: [digest], bytes_read, seconds}");
        v->callback([this] { m_run = [this] { return verify(m_inspect, m_options); }; });
    }

    CLI::App m_app;
    std::function<int()> m_run;
    tqimage::ObjectOptions m_options;
    PushArgs m_push;
    InspectArgs m_inspect;
};

}  // namespace

int main(int argc, char** argv) {
    return tqtools::runMain("tqblk-image", [&] {
        CommandLine commandLine;
        return commandLine.run(argc, argv);
    });
}
