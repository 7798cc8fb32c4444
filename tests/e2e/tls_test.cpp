// A -T the build cannot serve stops start-up with status 1 and the reason:
// natively a file that is not there (the TLS sessions themselves are
// tests/tls/tls_test.py's), and the Windows build, which has no TLS yet,
// whatever the file.
#include "harness.h"

#include "target.h"

using namespace e2e;

TEST(TlsStartUp, RefusedWithStatusOneAndTheReason)
{
    const std::string reason = Target::get().isWine() ? "TLS is not available in this build"
                                                      : "cannot read it";
    Server s;
    ASSERT_TRUE(s.run({"-b", "-Tno-such-velkor-test.pem"}));
    EXPECT_TRUE(s.exitsWith(1));
    EXPECT_NE(s.err().find("-Tno-such-velkor-test.pem: " + reason), std::string::npos)
        << "log: " << s.err();
}
