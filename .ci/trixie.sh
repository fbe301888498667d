# Stage trixie, sourced by .ci/run: the tests, lint, man, package and prebuilt
# stages again in a fresh Debian 13 chroot, with that release's compilers,
# tools and C library.
echo "== Debian 13 (trixie), in a fresh chroot: tests, lint, man, package, prebuilt"
trixie_start=$SECONDS
root=$(mktemp -d /var/tmp/kestrig-trixie.XXXXXX)
chmod 755 "$root"  # its / : apt's and the tests' unprivileged users pass through it
cleanups+=("rm -rf --one-file-system '$root'")
debootstrap --variant=minbase trixie "$root" > "$root.log" 2>&1 || { tail -n 30 "$root.log"; exit 1; }
rm -f "$root.log"
cleanups+=("umount -R '$root/dev' '$root/proc'")
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
# The work tree as it is, without builds; with .git, which tells the
# package stage what is tracked.
mkdir "$root/kestrig"
{ git ls-files -z; printf '.git\0'; } | tar --null -T - -cf - | tar -xf - -C "$root/kestrig"
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 CI="${CI:-}" bash /kestrig/.ci/run tests lint man package prebuilt
echo "trixie: all checks passed in $((SECONDS - trixie_start)) s"
