// OpenSlide loaded the way QuPath loads it: JNA told the folder ("OpenSlide directory") through
// jna.library.path and asked for "openslide", which finds libopenslide.so there. It reads a Tarn
// slide and a pyramidal TIFF of the same picture, and compares both with that picture's PNG.
// Run from its source, so one JVM start compiles and runs it:
//
//   java -cp jna.jar OpenSlideJna.java FOLDER SLIDE.tarn PYRAMID.tif PICTURE.png
import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.NativeLibrary;
import com.sun.jna.Pointer;
import java.awt.image.BufferedImage;
import java.io.File;
import java.util.Arrays;
import java.util.List;
import javax.imageio.ImageIO;

public class OpenSlideJna {
    /** The calls QuPath makes, with its Java types. */
    public interface OpenSlide extends Library {
        String openslide_get_version();
        String openslide_detect_vendor(String file);
        Pointer openslide_open(String file);
        void openslide_close(Pointer osr);
        String openslide_get_error(Pointer osr);
        int openslide_get_level_count(Pointer osr);
        void openslide_get_level_dimensions(Pointer osr, int level, long[] w, long[] h);
        double openslide_get_level_downsample(Pointer osr, int level);
        void openslide_read_region(Pointer osr, int[] dest, long x, long y, int level, long w,
                                   long h);
        long openslide_get_icc_profile_size(Pointer osr);
        void openslide_read_icc_profile(Pointer osr, byte[] dest);
        Pointer openslide_get_property_names(Pointer osr);
        String openslide_get_property_value(Pointer osr, String name);
        Pointer openslide_get_associated_image_names(Pointer osr);
        void openslide_get_associated_image_dimensions(Pointer osr, String name, long[] w,
                                                       long[] h);
        void openslide_read_associated_image(Pointer osr, String name, int[] dest);
    }

    static int passed, failed;

    static void check(boolean condition, String what) {
        if (condition) {
            ++passed;
        } else {
            ++failed;
            System.err.println("failed: " + what);
        }
    }

    /** Mean absolute difference of the colour channels of premultiplied ARGB words (opaque
     * inside the picture) and the picture's own, over a w x h region at (x, y). */
    static double difference(int[] argb, BufferedImage picture, int x, int y, int w, int h) {
        long sum = 0;
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col) {
                int got = argb[row * w + col], want = picture.getRGB(x + col, y + row);
                for (int shift = 0; shift <= 16; shift += 8)
                    sum += Math.abs(((got >>> shift) & 0xff) - ((want >>> shift) & 0xff));
            }
        return (double) sum / (3.0 * w * h);
    }

    static void read(OpenSlide lib, String path, String vendor, BufferedImage picture,
                     double tolerance) {
        check(vendor.equals(lib.openslide_detect_vendor(path)), path + ": vendor " + vendor);
        Pointer osr = lib.openslide_open(path);
        check(osr != null && lib.openslide_get_error(osr) == null, path + ": opens");
        if (osr == null) return;
        long[] w = new long[1], h = new long[1];
        lib.openslide_get_level_dimensions(osr, 0, w, h);
        check(w[0] == picture.getWidth() && h[0] == picture.getHeight(), path + ": level 0 size");
        check(lib.openslide_get_level_count(osr) > 1
                  && lib.openslide_get_level_downsample(osr, 1) > 1.9,
              path + ": levels");
        List<String> names = Arrays.asList(lib.openslide_get_property_names(osr).getStringArray(0));
        check(names.contains("openslide.level[0].tile-width")
                  && vendor.equals(lib.openslide_get_property_value(osr, "openslide.vendor")),
              path + ": properties");

        int x = 333, y = 222, rw = 300, rh = 200;
        int[] region = new int[rw * rh];
        lib.openslide_read_region(osr, region, x, y, 0, rw, rh);
        double off = difference(region, picture, x, y, rw, rh);
        check(off <= tolerance, path + ": region differs from the picture by " + off);

        // As QuPath asks for the profile: none, and reading it writes nothing.
        long icc = lib.openslide_get_icc_profile_size(osr);
        check(icc == 0, path + ": ICC profile size " + icc);
        byte[] profile = new byte[8];
        lib.openslide_read_icc_profile(osr, profile);
        check(Arrays.equals(profile, new byte[8]), path + ": nothing written for the profile");

        for (String image : lib.openslide_get_associated_image_names(osr).getStringArray(0)) {
            lib.openslide_get_associated_image_dimensions(osr, image, w, h);
            int[] pixels = new int[(int) (w[0] * h[0])];
            lib.openslide_read_associated_image(osr, image, pixels);
            check(pixels[0] >>> 24 == 0xff, path + ": associated image " + image);
        }
        check(lib.openslide_get_error(osr) == null, path + ": no error");
        lib.openslide_close(osr);
    }

    public static void main(String[] args) throws Exception {
        // What QuPath does with its "OpenSlide directory" setting.
        System.setProperty("jna.library.path", args[0]);
        OpenSlide lib = Native.load("openslide", OpenSlide.class);
        File loaded = NativeLibrary.getInstance("openslide").getFile();
        System.out.println("loaded " + loaded + ", version " + lib.openslide_get_version());
        check(loaded.getParentFile().equals(new File(args[0]).getCanonicalFile())
                  && loaded.getCanonicalFile().getName().equals("libopenslide.so.1"),
              "libopenslide.so.1 loaded from the folder given: " + loaded);

        BufferedImage picture = ImageIO.read(new File(args[3]));
        read(lib, args[1], "tarn", picture, 0.0);
        // JPEG tiles: close to the picture, not equal.
        read(lib, args[2], "generic-tiff", picture, 6.0);
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
