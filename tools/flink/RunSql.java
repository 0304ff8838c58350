import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.apache.flink.table.api.EnvironmentSettings;
import org.apache.flink.table.api.TableEnvironment;
import org.apache.flink.table.api.TableResult;

/**
 * Runs a Flink SQL script in a local, in-process cluster.
 *
 * <p>Usage: {@code java -cp <flink lib/*>:<dir of this class> RunSql script.sql}. The script's
 * statements are separated by semicolons (outside quotes and comments) and run in order on one
 * streaming table environment; a statement that starts a job (an INSERT) is waited for before the
 * next one runs, and its wall time is printed as a line "job_ms N".
 */
public final class RunSql {
  /** SET 'key' = 'value', which the table environment leaves to its callers. */
  private static final Pattern SET =
      Pattern.compile("(?is)SET\\s+'((?:[^']|'')*)'\\s*=\\s*'((?:[^']|'')*)'");

  private RunSql() {}

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: RunSql SCRIPT.sql");
      System.exit(2);
    }
    String script = Files.readString(Path.of(args[0]), StandardCharsets.UTF_8);
    TableEnvironment env = TableEnvironment.create(EnvironmentSettings.inStreamingMode());
    for (String statement : split(script)) {
      Matcher set = SET.matcher(statement);
      if (set.matches()) {
        env.getConfig().set(unquote(set.group(1)), unquote(set.group(2)));
        continue;
      }
      long start = System.nanoTime();
      TableResult result = env.executeSql(statement);
      if (result.getJobClient().isPresent()) {
        result.await();
        System.out.println("job_ms " + (System.nanoTime() - start) / 1_000_000);
      }
    }
  }

  private static String unquote(String text) {
    return text.replace("''", "'");
  }

  /** Splits a script at the semicolons that are outside quotes, back-quotes and comments. */
  static List<String> split(String script) {
    List<String> out = new ArrayList<>();
    StringBuilder current = new StringBuilder();
    int n = script.length();
    for (int i = 0; i < n; i++) {
      char c = script.charAt(i);
      if (c == '-' && i + 1 < n && script.charAt(i + 1) == '-') {
        while (i < n && script.charAt(i) != '\n') {
          i++;
        }
        current.append('\n');
        continue;
      }
      if (c == '\'' || c == '`') {
        int end = i + 1;
        while (end < n) {
          if (script.charAt(end) == c) {
            if (end + 1 < n && script.charAt(end + 1) == c) {
              end += 2;  // a doubled quote stands for itself
              continue;
            }
            break;
          }
          end++;
        }
        current.append(script, i, Math.min(end + 1, n));
        i = end;
        continue;
      }
      if (c == ';') {
        addIfNotBlank(out, current);
        current.setLength(0);
        continue;
      }
      current.append(c);
    }
    addIfNotBlank(out, current);
    return out;
  }

  private static void addIfNotBlank(List<String> out, StringBuilder statement) {
    String text = statement.toString().strip();
    if (!text.isEmpty()) {
      out.add(text);
    }
  }
}
