import java.lang.reflect.Field;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;

/** Prints QorXStatus and QorXStatus.Framework as qorx-statusgen table prints the core's lists. */
public final class StatusDump {
  private StatusDump() {}

  private static void dump(String list, Class<?> names) throws ReflectiveOperationException {
    Method message = names.getMethod("message", int.class);
    for (Field field : names.getFields()) {
      int modifiers = field.getModifiers();
      if (!Modifier.isStatic(modifiers) || !Modifier.isFinal(modifiers) || field.getType() != int.class)
        continue;
      int value = field.getInt(null);
      System.out.println(list + "\t" + field.getName() + "\t" + value + "\t" + message.invoke(null, value));
    }
  }

  /**
   * Prints both lists.
   *
   * @param args none
   * @throws ReflectiveOperationException when the classes are not shaped as generated
   */
  public static void main(String[] args) throws ReflectiveOperationException {
    dump("status", QorXStatus.class);
    dump("framework", QorXStatus.Framework.class);
  }
}
