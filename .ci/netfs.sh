# Stage netfs, sourced by .ci/run: the test binary's file-system tests and 8
# parallel runs with a reader, on NFS v4.2 and v3, with and without
# root_squash, and on SMB 3 mounted with uid=0, each as root and as an
# unprivileged user; and as that user on bindfs with the owner forced to
# root. This machine's kernel may serve and mount neither NFS nor SMB, so a
# user-mode Linux guest does, with the host's root as its own: it serves
# tmpfs folders on its loopback, mounts them and runs the checks
# (.ci/netfs-guest), and writes what it found to build/netfs/result.
#
# The test binary's tests that run on each NFS mount (not the shared-folder
# table, which switches users and refuses calls with seccomp, as only a
# local file system shows as it should). On SMB and bindfs, whose files all
# show one owner and mode, runs of the tool check what holds there instead.
netfs_filter='replace_file_rule.*:kestrig_run.*timing_cfg*:kestrig_run.parallel*:-kestrig_run.timing_cfg_planted*'
# Runs of the tool in each of the 8 parallel loops.
netfs_runs=30
echo "== netfs: NFS v4.2 and v3, with and without root_squash, SMB 3 with uid=0 and bindfs, in user-mode Linux"
rm -rf build/netfs && mkdir -p build/netfs
netfs_started=$SECONDS
# Its console is this log; it has no network but its own loopback. The
# timeout ends it, and the helper processes it forks, should a mount hang.
netfs_status=0
timeout -k 10 540 linux.uml rootfstype=hostfs rootflags=/ rw mem=768M quiet \
  uml_dir="$PWD/build/netfs/uml/" init="$PWD/.ci/netfs-guest" \
  "netfs_filter=$netfs_filter" "netfs_runs=$netfs_runs" con=null con0=null,fd:1 \
  < /dev/null || netfs_status=$?
echo "== netfs: the guest ran $((SECONDS - netfs_started)) s, exit status $netfs_status; what it found:"
cat build/netfs/result 2> /dev/null || echo "(no result: the guest did not come to its checks)"
if [ "$netfs_status" = 124 ] || ! grep -q -x DONE build/netfs/result; then
  echo "netfs: the guest did not finish its checks"
  exit 1
fi
if grep -q '^FAIL' build/netfs/result; then
  echo "netfs: $(grep -c '^FAIL' build/netfs/result) checks failed (the tests' logs: build/netfs/*.log)"
  exit 1
fi
