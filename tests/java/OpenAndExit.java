/**
 * Opens the default reader, looks at the card and ends the JVM without closing: the library
 * closes the reader itself while it is unloaded. Prints the two statuses and the card status.
 */
public class OpenAndExit {
  public static void main(String[] args) {
    VTKJAV01_KestrelX qorx = new VTKJAV01_KestrelX();
    System.out.println(qorx.NativeOpen(null) + " " + qorx.CardDetect() + " " + qorx.cardStatus);
  }
}
