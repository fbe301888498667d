# Stage package, sourced by .ci/run: the release set, built twice to the same
# bytes; the source tarball and each architecture's .deb and .rpm checked;
# the amd64 ones, the arm64 .deb and the aarch64 .rpm installed into empty
# roots; the modes of an install; a distcheck of the tarball. It leaves the
# release set in $release for the prebuilt stage.
echo "== release: the same bytes under any umask; source tarball, .debs and .rpms; distcheck"
# The release set is built twice, from two folders, under umask 022 and 077
# with other time zones and locales; SOURCE_DATE_EPOCH is the changelog's
# date, as in Debian's own builds. Both must be the same byte for byte.
export SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/changelog -S Timestamp)
package_work=$(mktemp -d)
chmod 755 "$package_work"  # the distcheck's user passes through it
cleanups+=("rm -rf '$package_work'")
build_release() {  # folder, umask, TZ, LC_ALL
  (umask "$2" && export TZ=$3 LC_ALL=$4 &&
   cmake -S . -B "$1" -DKESTRIG_TESTS=OFF > /dev/null && cmake --build "$1" --target release > /dev/null)
}
build_release "$package_work/a" 022 UTC0 C.UTF-8
build_release "$package_work/other/b" 077 '<+14>-14' POSIX
release=$package_work/other/b/release
diff -r "$package_work/a/release" "$release"
(cd "$release" && sha256sum -c SHA256SUMS)
ls -l "$release"
version=$(sed -n 's/^project(kestrig VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The release's architectures, by Debian's names and by RPM's.
prebuilt_architectures=(amd64 arm64 armhf i386 ppc64el riscv64 s390x)
rpm_architectures=(x86_64 aarch64 armv7hl i686 ppc64le riscv64 s390x)
debs=("${prebuilt_architectures[@]/#/$release/kestrig_${version}_}") && debs=("${debs[@]/%/.deb}")
rpms=("${rpm_architectures[@]/#/$release/kestrig-$version-1.}") && rpms=("${rpms[@]/%/.rpm}")
# The 22 files, no more, and SHA256SUMS over them all.
expected=$({ printf '%s\n' "kestrig-$version.tar.gz" "${debs[@]##*/}" "${rpms[@]##*/}"
             printf "kestrig-$version-linux-%s.tar.gz\n" "${prebuilt_architectures[@]}"; } | sort)
[ "$(cd "$release" && ls | grep -v '^SHA256SUMS$')" = "$expected" ] &&
  [ "$(awk '{print $2}' "$release/SHA256SUMS")" = "$expected" ] ||
  { echo "the release set is not the 22 files and their SHA256SUMS"; exit 1; }
tarball=$release/kestrig-$version.tar.gz
deb=${debs[0]} rpm=${rpms[0]}  # amd64's, x86_64's
# What the install puts below its prefix, and the packages below /usr.
files=(bin/kestrig share/man/man1/kestrig.1.gz share/doc/kestrig/copyright
       share/doc/kestrig/changelog.gz share/doc/kestrig/examples/pipes.txt)

# The tarball holds exactly the tracked files, below kestrig-<version>/,
# owned by root.
diff <(tar -tzf "$tarball") <(git ls-files | sed "s|^|kestrig-$version/|") ||
  { echo "the source tarball does not hold exactly the tracked files"; exit 1; }
owners=$(tar -tvzf "$tarball" | awk '$2 != "0/0"')
if [ -n "$owners" ]; then echo "not root's in the tarball:"; echo "$owners"; exit 1; fi

# Each .deb: of the architecture its name says; folders 0755, the program
# 0755, every other file 0644, all root's.
for arch in "${prebuilt_architectures[@]}"; do
  package=$release/kestrig_${version}_$arch.deb
  [ "$(dpkg-deb -f "$package" Architecture)" = "$arch" ] ||
    { echo "${package##*/}: of architecture $(dpkg-deb -f "$package" Architecture)"; exit 1; }
  contents=$(dpkg-deb -c "$package")
  [ "$arch" != amd64 ] || echo "$contents"
  modes=$(awk '$1 != ($6 ~ /\/$/ ? "drwxr-xr-x" : $6 == "./usr/bin/kestrig" ? "-rwxr-xr-x" : "-rw-r--r--") ||
               $2 != "root/root"' <<<"$contents")
  if [ -n "$modes" ]; then echo "wrong mode or owner in ${package##*/}:"; echo "$modes"; exit 1; fi
  for f in "${files[@]}"; do
    grep -q " ./usr/$f\$" <<<"$contents" || { echo "missing from ${package##*/}: $f"; exit 1; }
  done
  # It carries a static program and so depends on no C library.
  depends=$(dpkg-deb -f "$package" Depends)
  [ -z "$depends" ] || { echo "${package##*/} depends on: $depends"; exit 1; }
done
# Any error or warning tag fails; pedantic and info tags are shown.
lintian --version
lintian --pedantic --display-info --fail-on error,warning "${debs[@]}"

# Each .rpm: of the architecture its name says; the same files and modes,
# its own folders and no others, and no finding of rpmlint but those its
# settings filter, each with a reason.
expected=$(printf "%s\n" "${files[@]/#//usr/}" /usr/share/doc/kestrig /usr/share/doc/kestrig/examples | sort)
for arch in "${rpm_architectures[@]}"; do
  package=$release/kestrig-$version-1.$arch.rpm
  [ "$(rpm -qp --queryformat '%{ARCH}' "$package" 2>/dev/null)" = "$arch" ] ||
    { echo "${package##*/}: not of architecture $arch"; exit 1; }
  listed=$(rpm -qp --queryformat '[%{FILEMODES:perms} %{FILEUSERNAME}/%{FILEGROUPNAME} %{FILENAMES}\n]' "$package")
  [ "$arch" != x86_64 ] || echo "$listed"
  [ "$(awk '{print $3}' <<<"$listed" | sort)" = "$expected" ] ||
    { echo "${package##*/} does not hold exactly its files and folders"; exit 1; }
  modes=$(awk '$1 != ($1 ~ /^d/ ? "drwxr-xr-x" : $3 == "/usr/bin/kestrig" ? "-rwxr-xr-x" : "-rw-r--r--") ||
               $2 != "root/root"' <<<"$listed")
  if [ -n "$modes" ]; then echo "wrong mode or owner in ${package##*/}:"; echo "$modes"; exit 1; fi
  # Nor does it require anything but features of rpm itself.
  requires=$(rpm -qpR "$package" 2>/dev/null | grep -v '^rpmlib(') || true
  [ -z "$requires" ] || { echo "${package##*/} requires: $requires"; exit 1; }
done
rpmlint --version
lint=$(rpmlint -c packaging/rpmlint.toml "${rpms[@]}" 2>&1) || true
echo "$lint"
grep -q "^ *${#rpms[@]} packages and 0 [a-z]* checked; 0 errors, 0 warnings" <<<"$lint" ||
  { echo "rpmlint is not clean"; exit 1; }

# The amd64 packages installed into an empty root, with no dependency
# forced: the program runs there on the example it installed, as the tests
# build does, and the removal leaves nothing of it behind. Then the same for
# packages of another architecture, which the tool of each refuses until
# told the root is of that architecture too: their files installed intact.
mkdir "$package_work/example"
(here=$PWD && cd "$package_work/example" &&
 "$here/build/kestrig" "${example_numbers[@]}" "$here/examples/pipes.txt" > out)
check_installed() {  # the root
  local root=$1
  chroot "$root" /usr/bin/kestrig "${example_numbers[@]}" /usr/share/doc/kestrig/examples/pipes.txt > "$root.out"
  cmp "$root.out" "$package_work/example/out"
  cmp "$root/timing.cfg" "$package_work/example/timing.cfg"
  rm "$root/timing.cfg"
}
left_behind() {  # the root, the package database below it
  local left
  left=$(cd "$1" && find . -path ".$2" -prune -o \( ! -type d -o -name '*kestrig*' \) -print)
  if [ -n "$left" ]; then echo "left behind by the removal:"; echo "$left"; return 1; fi
}
deb_root=$package_work/deb-root
mkdir -p "$deb_root/var/lib/dpkg/info" "$deb_root/var/lib/dpkg/updates"
touch "$deb_root/var/lib/dpkg/status"
dpkg --root="$deb_root" -i "$deb"
check_installed "$deb_root"
dpkg --root="$deb_root" --purge kestrig
left_behind "$deb_root" /var/lib/dpkg
echo "the .deb installed into an empty root, run and removed"
rpm_root=$package_work/rpm-root
mkdir "$rpm_root"
# Debian's rpm warns that it is not Debian's way, and trixie's that a chroot
# has no private mounts: only that is left out of what it says.
quiet_rpm() {
  rpm "$@" 2> >(grep -v -e 'use Alien' -e 'know what you are doing' -e 'private mounts in chroot' >&2)
}
quiet_rpm --root "$rpm_root" -i "$rpm"
rpm --root "$rpm_root" -V kestrig
check_installed "$rpm_root"
quiet_rpm --root "$rpm_root" -e kestrig
# rpm's own database lives in ~/.rpmdb on bookworm, /var/lib/rpm on trixie.
left_behind "$rpm_root" "$(rpm --eval '%{_dbpath}')"
echo "the RPM installed into an empty root, verified, run and removed"

arm64_deb=$release/kestrig_${version}_arm64.deb
deb_root=$package_work/arm64-deb-root
mkdir -p "$deb_root/var/lib/dpkg/info" "$deb_root/var/lib/dpkg/updates"
touch "$deb_root/var/lib/dpkg/status"
if refusal=$(dpkg --root="$deb_root" -i "$arm64_deb" 2>&1); then
  echo "dpkg installed the arm64 .deb into an amd64 root"; exit 1
fi
grep -q 'package architecture (arm64) does not match' <<<"$refusal" || { echo "$refusal"; exit 1; }
dpkg --root="$deb_root" --add-architecture arm64
dpkg --root="$deb_root" -i "$arm64_deb"
dpkg --root="$deb_root" --verify kestrig:arm64
listed=$(dpkg --root="$deb_root" -L kestrig:arm64)
for f in "${files[@]}"; do
  grep -q -x -F "/usr/$f" <<<"$listed" && [ -f "$deb_root/usr/$f" ] || { echo "not installed: /usr/$f"; exit 1; }
done
dpkg --root="$deb_root" --purge kestrig:arm64
left_behind "$deb_root" /var/lib/dpkg
echo "the arm64 .deb refused in an amd64 root; installed once arm64 was added, verified and removed"
aarch64_rpm=$release/kestrig-$version-1.aarch64.rpm
rpm_root=$package_work/aarch64-rpm-root
mkdir "$rpm_root"
if refusal=$(quiet_rpm --root "$rpm_root" -i "$aarch64_rpm" 2>&1); then
  echo "rpm installed the aarch64 RPM into an x86_64 root"; exit 1
fi
grep -q 'intended for a different architecture' <<<"$refusal" || { echo "$refusal"; exit 1; }
quiet_rpm --root "$rpm_root" --ignorearch -i "$aarch64_rpm"
rpm --root "$rpm_root" -V kestrig
[ "$(rpm --root "$rpm_root" -q --queryformat '%{ARCH}' kestrig)" = aarch64 ]
quiet_rpm --root "$rpm_root" -e kestrig
left_behind "$rpm_root" "$(rpm --eval '%{_dbpath}')"
echo "the aarch64 RPM refused in an x86_64 root; installed with --ignorearch, verified and removed"

# The same modes from an install under umask 077.
prefix=$package_work/prefix
(umask 077 && cmake --install build --prefix "$prefix" > /dev/null)
installed=$(cd "$prefix" && find . -printf '%m %p\n' | sort -k 2)
echo "$installed"
for f in "${files[@]}"; do
  grep -q " ./$f\$" <<<"$installed" || { echo "not installed: $f"; exit 1; }
done
modes=$(cd "$prefix" && find . \( -type d ! -perm 0755 \) -o \( -type f -path ./bin/kestrig ! -perm 0755 \) \
                             -o \( -type f ! -path ./bin/kestrig ! -perm 0644 \))
if [ -n "$modes" ]; then echo "wrong mode after the install:"; echo "$modes"; exit 1; fi

# The README's install and uninstall lines, as they stand, with a prefix in
# place of /usr/local that holds the shared folders already, empty, full and
# linked, installed once and twice (an upgrade): the uninstall leaves it
# exactly as it was.
install_line=$(readme_line 'cmake --install build --prefix')
uninstall_line=$(readme_line 'build/install_manifest.txt')
for shared in empty full linked; do
  for times in 1 2; do
    prefix=$package_work/prefix-$shared-$times
    shared_folders "$prefix" "$shared"
    before=$(snapshot "$prefix")
    for ((i = 0; i < times; i++)); do eval "${install_line//\/usr\/local/$prefix}" > /dev/null; done
    for f in "${files[@]}"; do [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }; done
    (export DESTDIR= && eval "$uninstall_line")
    [ "$(snapshot "$prefix")" = "$before" ] ||
      { echo "a prefix with $shared shared folders, installed $times times: not as it was"; exit 1; }
  done
done
echo "cmake --install once and twice into a prefix with empty, full and linked shared folders, and removed"

# Distcheck: the tarball alone, unpacked read-only, built out of tree by an
# ordinary user, passes the whole suite, installs into a DESTDIR, and the
# README's uninstall, its line as it stands, removes every file and every
# folder of the tool's own, leaving only the empty shared folders it made.
echo "== distcheck of $(basename "$tarball") as user nobody"
tar -xzf "$tarball" -C "$package_work"
chmod -R a-w "$package_work/kestrig-$version"
dist=$package_work/dist
mkdir "$dist" && chown nobody: "$dist"
runuser -u nobody -- env HOME="$dist" bash -euo pipefail -c '
  cd "$1"
  cmake -S "$2" -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /dev/null
  cmake --build build > /dev/null
  ctest --test-dir build --output-on-failure --no-tests=error > ctest.log || { cat ctest.log; exit 1; }
  sed -n -e "/tests passed/p" -e "/(Skipped)/p" ctest.log
  export DESTDIR=$1/stage
  cmake --install build > /dev/null
  test -x stage/usr/local/bin/kestrig
  eval "$3"
  left=$(find stage ! -type d -o -name "*kestrig*")
  if [ -n "$left" ]; then echo "left behind by the uninstall:"; echo "$left"; exit 1; fi
' distcheck "$dist" "$package_work/kestrig-$version" \
  "$(readme_line 'build/install_manifest.txt')"
chmod -R u+w "$package_work/kestrig-$version"
echo "distcheck passed"
