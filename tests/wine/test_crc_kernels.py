"""The CRC-32 kernels of the cross build under Wine, through crc_probe.exe: every
kernel this CPU runs, forced, gives the SDK's CrcCalc value, and the dispatcher
picks one that runs; one it cannot run is refused. Natively the same is checked against the SDK's CRC."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def main():
    h = harness.Harness.from_args()
    with h:
        probe = h.platform_helper("crc_probe", ["libvorlane_core.a", "liblzma_sdk.a", "libisal_crc.a"])
        prefix = h.new_prefix()

        @h.case("every kernel this CPU runs gives the SDK's CRC-32; the picked one runs")
        def _():
            result = prefix.run(probe, [], relay=False)
            h.expect(not result.timed_out and result.status == 0,
                     "crc_probe ended with %r: %s" % (result.status, result.stderr[-1500:]))
            picked = None
            kernels = {}
            for line in result.stdout.splitlines():
                if line.startswith("picked="):
                    picked = line.split("=", 1)[1]
                elif line.startswith("kernel="):
                    fields = dict(item.split("=", 1) for item in line.split())
                    kernels[fields["kernel"]] = (fields["runs"], fields["wrong"])
            h.expect_equal(len(kernels), 5, "kernels listed")
            for name, (runs, wrong) in kernels.items():
                h.expect_equal(wrong, "0", "values wrong with " + name)
            h.expect_equal(kernels.get("table", ("0",))[0], "1", "the table runs")
            h.expect_equal(kernels.get(picked, ("0",))[0], "1", "the picked kernel %r runs" % picked)
    return h.finish()


if __name__ == "__main__":
    sys.exit(main())
