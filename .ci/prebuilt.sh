# Stage prebuilt, sourced by .ci/run after package, whose release set it
# checks: each architecture's tarball holds the installed files below one
# folder, and its program, and the program of its .deb and of its .rpm, is
# static, stripped, hardened and of that architecture, and rewrites the
# cross input as the tests build does: the amd64 ones alone in an otherwise
# empty root, the others under qemu-user with no C library of their own.
# The README's table names those files for each `uname -m`. Then the amd64
# tarball is installed and removed as the README says: for one user, where
# the shell and man find it, and for everyone.
echo "== prebuilt binaries: static, of their architecture, hardened, exact"
cross_reference
prebuilt_work=$package_work/prebuilt
mkdir "$prebuilt_work"
epoch_time=$(TZ=UTC0 date -d "@$SOURCE_DATE_EPOCH" '+%F %R')
# Checks a program: static, of its machine, hardened; exact on the cross
# input, alone in an empty root or under qemu-user.
program_check() {  # what it is, the program, a pattern for `file`'s machine, qemu's name or ""
  local what=$1 program=$2 machine=$3 qemu=$4 info root
  info=$(file -b "$program")
  echo "$what: $info"
  # A static PIE where the target's C library has one, else fully static.
  case $info in
    *$machine*", static-pie linked,"*", stripped" | *$machine*", statically linked,"*", stripped") ;;
    *) echo "$what: not a stripped static binary for $machine"; return 1 ;;
  esac
  ! readelf -lW "$program" | grep -q INTERP || { echo "$what: has an interpreter"; return 1; }
  ! readelf -dW "$program" | grep -q NEEDED || { echo "$what: needs a library"; return 1; }
  readelf -lW "$program" | grep -q GNU_RELRO || { echo "$what: no RELRO"; return 1; }
  if [[ $info == *static-pie* ]]; then
    readelf -dW "$program" | grep -q 'FLAGS.*BIND_NOW' || { echo "$what: no immediate binding"; return 1; }
  fi
  root=$(mktemp -d "$prebuilt_work/root.XXXXXX")
  if [ -z "$qemu" ]; then
    cp "$program" "$root/kestrig" && cp build/cross_input.txt "$root/"
    chroot "$root" /kestrig "${extremes[@]}" /cross_input.txt | cmp - build/cross_native.out
    echo "$what: exact alone in an empty root"
  else
    (here=$PWD && cd "$root" &&
     "qemu-$qemu" "$program" "${extremes[@]}" "$here/build/cross_input.txt" | cmp - "$here/build/cross_native.out")
    echo "$what: exact under qemu-$qemu"
  fi
  cmp "$root/timing.cfg" build/cross_native.cfg
}
prebuilt_check() {  # uname -m, arch, RPM's name for it, a pattern for `file`'s machine, qemu's name or ""
  local uname=$1 arch=$2 rpm_arch=$3 machine=$4 qemu=$5 name=kestrig-$version-linux-$2 listing bad program root row kernel
  # Sorted, each folder before what it holds; all root's, with the release's time.
  listing=$(TZ=UTC0 tar -tvzf "$release/$name.tar.gz")
  bad=$(awk -v top="$name/" -v time="$epoch_time" '
    $1 != ($6 ~ /\/$/ ? "drwxr-xr-x" : $6 == top "bin/kestrig" ? "-rwxr-xr-x" : "-rw-r--r--") ||
    $2 != "0/0" || $4 " " $5 != time || index($6, top) != 1' <<<"$listing")
  if [ -n "$bad" ]; then echo "$name: wrong mode, owner, time or folder:"; echo "$bad"; return 1; fi
  [ "$(awk '{print $6}' <<<"$listing" | LC_ALL=C sort)" = "$(awk '{print $6}' <<<"$listing")" ] ||
    { echo "$name: not sorted"; return 1; }
  [ "$(awk '$6 !~ /\/$/ {print $6}' <<<"$listing" | LC_ALL=C sort)" = \
    "$(printf "$name/%s\n" "${files[@]}" | LC_ALL=C sort)" ] ||
    { echo "$name: not the installed files"; return 1; }

  mkdir "$prebuilt_work/$arch"
  tar -xzf "$release/$name.tar.gz" -C "$prebuilt_work/$arch"
  program=$prebuilt_work/$arch/$name/bin/kestrig
  program_check "$name.tar.gz" "$program" "$machine" "$qemu"
  if [ -z "$qemu" ]; then
    # Alone, it also rewrites the example as the tests build does.
    root=$prebuilt_work/$arch-root
    mkdir "$root"
    cp "$program" examples/pipes.txt "$root/"
    chroot "$root" /kestrig "${example_numbers[@]}" /pipes.txt | cmp - "$package_work/example/out"
    cmp "$root/timing.cfg" "$package_work/example/timing.cfg"
    [ "$(cd "$root" && ls)" = "$(printf '%s\n' kestrig pipes.txt timing.cfg)" ]
    echo "$name: rewrites the example alone in an empty root"
  fi
  # The program of the architecture's .deb and .rpm, on its own, and the
  # very program of the tarball. (Through files: cpio stops reading at the
  # archive's end, before the padding rpm2cpio writes after it.)
  dpkg-deb --fsys-tarfile "$release/kestrig_${version}_$arch.deb" > "$prebuilt_work/$arch/deb.tar"
  tar -xOf "$prebuilt_work/$arch/deb.tar" ./usr/bin/kestrig > "$prebuilt_work/$arch/deb-kestrig"
  rpm2cpio "$release/kestrig-$version-1.$rpm_arch.rpm" > "$prebuilt_work/$arch/rpm.cpio"
  cpio -i --quiet --to-stdout ./usr/bin/kestrig < "$prebuilt_work/$arch/rpm.cpio" > "$prebuilt_work/$arch/rpm-kestrig"
  chmod 755 "$prebuilt_work/$arch/deb-kestrig" "$prebuilt_work/$arch/rpm-kestrig"
  program_check "kestrig_${version}_$arch.deb" "$prebuilt_work/$arch/deb-kestrig" "$machine" "$qemu"
  program_check "kestrig-$version-1.$rpm_arch.rpm" "$prebuilt_work/$arch/rpm-kestrig" "$machine" "$qemu"
  cmp "$prebuilt_work/$arch/deb-kestrig" "$program" && cmp "$prebuilt_work/$arch/rpm-kestrig" "$program"
  # The README's row for its `uname -m` names these three files, and the
  # kernel that `file` names for the program.
  row=$(grep -F "| \`$uname\` |" README.md) &&
    [[ $row == "| \`$uname\` | \`kestrig_${version}_$arch.deb\` | \`kestrig-$version-1.$rpm_arch.rpm\` | \`$name.tar.gz\` | "* ]] &&
    kernel=${row% |} && [[ $(file -b "$program") == *"for GNU/Linux ${kernel##*| },"* ]] ||
    { echo "the README's row for $uname is wrong: ${row:-none}"; return 1; }
}
# This machine's `uname -m`, and the other kernels'.
prebuilt_check "$(uname -m)" amd64 x86_64 x86-64 ""
prebuilt_check aarch64 arm64 aarch64 "ARM aarch64" aarch64
prebuilt_check armv7l armhf armv7hl "ARM, EABI5" arm
prebuilt_check i686 i386 i686 "Intel *386" i386  # bookworm's file says 80386, trixie's i386
prebuilt_check ppc64le ppc64el ppc64le "64-bit PowerPC" ppc64le
prebuilt_check riscv64 riscv64 riscv64 "UCB RISC-V" riscv64
prebuilt_check s390x s390x s390x "IBM S/390" s390x
[ "$(grep -c '^| `[a-z0-9_]*` | `kestrig_' README.md)" = "${#prebuilt_architectures[@]}" ] ||
  { echo "the README's table has rows for other machines"; exit 1; }

# The README's installs and uninstalls of the amd64 tarball, its lines as
# they stand. For one user, as an ordinary user with a home of its own: in a
# fresh home, whose ~/.local/bin was not on the PATH at login, the README's
# PATH line makes the shell find the program and man its page, and the
# uninstall leaves only the empty shared folders the install made. Then, for one user
# and for everyone (into a folder in place of /usr/local), into folders that
# hold the shared folders already, empty, full and linked, installed once
# and twice: the uninstall leaves them exactly as they were.
user_install=$(readme_line 'mkdir -p ~/.local && tar -xzf kestrig-')
user_uninstall=$(readme_line 'rm ~/.local/bin/kestrig')
system_install=$(readme_line 'strip-components=1 -C /usr/local')
system_uninstall=$(readme_line 'rm /usr/local/bin/kestrig')
as_nobody() {  # home, command; in the home, with ~/.local/bin on the PATH
  runuser -u nobody -- env -i HOME="$1" PATH="$1/.local/bin:/usr/bin:/bin" bash -euo pipefail -c "cd && $2"
}
home=$prebuilt_work/home
mkdir "$home" && chown nobody: "$home"
install -m 644 "$release/kestrig-$version-linux-amd64.tar.gz" "$home/"
path_line=$(readme_line 'export PATH=')
runuser -u nobody -- env -i HOME="$home" PATH=/usr/bin:/bin bash -euo pipefail -c "cd && $user_install"'
  if command -v kestrig; then echo "kestrig found before the PATH line"; exit 1; fi
  '"$path_line"'
  [ "$(command -v kestrig)" = ~/.local/bin/kestrig ]
  [ "$(man -w kestrig)" = ~/.local/share/man/man1/kestrig.1.gz ]
  kestrig '"${example_numbers[*]}"' ~/.local/share/doc/kestrig/examples/pipes.txt > out
  '"$user_uninstall"
cmp "$home/out" "$package_work/example/out"
left=$(cd "$home" && find .local ! -type d -o -name '*kestrig*')
[ -z "$left" ] || { echo "left behind in ~/.local:"; echo "$left"; exit 1; }
echo "the amd64 tarball installed into a fresh ~/.local and removed: with the README's PATH line, kestrig and man kestrig found"
for shared in empty full linked; do
  for times in 1 2; do
    home=$prebuilt_work/home-$shared-$times
    mkdir "$home" && cp "$release/kestrig-$version-linux-amd64.tar.gz" "$home/"
    shared_folders "$home/.local" "$shared"
    chown -R nobody: "$home"
    before=$(snapshot "$home/.local")
    for ((i = 0; i < times; i++)); do as_nobody "$home" "$user_install"; done
    as_nobody "$home" 'test -x ~/.local/bin/kestrig'
    as_nobody "$home" "$user_uninstall"
    [ "$(snapshot "$home/.local")" = "$before" ] ||
      { echo "~/.local with $shared shared folders, installed $times times: not as it was"; exit 1; }

    local_root=$prebuilt_work/local-$shared-$times
    shared_folders "$local_root/usr/local" "$shared"
    before=$(snapshot "$local_root/usr/local")
    for ((i = 0; i < times; i++)); do
      (cd "$release" && eval "${system_install//\/usr\/local/$local_root/usr/local}")
    done
    for f in "${files[@]}"; do
      [ -f "$local_root/usr/local/$f" ] || { echo "not installed into /usr/local: $f"; exit 1; }
    done
    eval "${system_uninstall//\/usr\/local/$local_root/usr/local}"
    [ "$(snapshot "$local_root/usr/local")" = "$before" ] ||
      { echo "/usr/local with $shared shared folders, installed $times times: not as it was"; exit 1; }
  done
done
echo "the amd64 tarball installed once and twice into ~/.local and /usr/local with empty, full and linked" \
     "shared folders, and removed: each as it was"
